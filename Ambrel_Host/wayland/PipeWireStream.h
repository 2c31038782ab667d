#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <system_error>

namespace ambrel {

// The consuming end of one PipeWire video stream (a screen cast's node), on a PipeWire thread loop
// of its own: 32-bit BGRx/BGRA pictures in shared-memory buffers (or mappable DMA-BUFs), with the
// producer's damage where it sends any. The handlers run on the loop's thread; the picture they
// are given is valid during the call only.
class PipeWireStream {
 public:
  struct Picture {
    const std::uint8_t* pixels = nullptr;  // B, G, R, X in memory
    std::ptrdiff_t stride = 0;
    int width = 0;
    int height = 0;
    // The rows [first, second) that the producer marked as changed since the last picture given to
    // the handler (pictures passed over meanwhile included); none: it didn't say.
    std::optional<std::pair<int, int>> damagedRows;
  };
  struct Handlers {
    std::function<void(const Picture&)> picture;
    // The stream failed or the producer went away.
    std::function<void()> failed;
    // The timer went off: a quarter of a second after the start, then as armTimer() set it.
    std::function<void()> timer;
  };

  // Connects to the PipeWire daemon of the session ($XDG_RUNTIME_DIR/pipewire-0) and to `node`,
  // asking for at most `maxFps` pictures a second.
  [[nodiscard]] static std::unique_ptr<PipeWireStream> open(std::uint32_t node, int maxFps, Handlers handlers,
                                                          std::error_code& error);
  // The same over a connection to PipeWire that someone else opened (the desktop portal hands one
  // out, restricted to the nodes it shares). Takes `remoteFd` in every case.
  [[nodiscard]] static std::unique_ptr<PipeWireStream> openOnRemote(int remoteFd, std::uint32_t node, int maxFps,
                                                                  Handlers handlers, std::error_code& error);
  // Ends the stream and the loop's thread. Never from that thread.
  ~PipeWireStream();
  PipeWireStream(const PipeWireStream&) = delete;
  PipeWireStream& operator=(const PipeWireStream&) = delete;

  // Sets the one timer to go off after `delay` (replacing an earlier setting). Loop thread only.
  void armTimer(std::chrono::nanoseconds delay);
  bool onLoopThread() const;

  struct State;

 private:
  // `remoteFd` -1: the session's daemon.
  static std::unique_ptr<PipeWireStream> connect(int remoteFd, std::uint32_t node, int maxFps, Handlers handlers,
                                                 std::error_code& error);
  explicit PipeWireStream(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace ambrel
