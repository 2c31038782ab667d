#pragma once

#include <cstdint>
#include <memory>
#include <system_error>

#include "Ambrel_Host/capture/ScreenCapturer.h"

namespace ambrel {

// Screen capture from a screen cast's PipeWire stream, whoever set the screen cast up (mutter's
// own interfaces, the desktop portal): pictures are compared with the last one, inside the damage
// the producer names where it names any, and only those that differ are turned into NV12 with
// libyuv, over the rows that changed, and passed on at the capturer's frame rate.
//
// Everything of a running capture lives in one `Run`, which the PipeWire loop's thread and the
// capturer share: handlers run on that thread without any lock held, and a handler may stop or
// destroy the capturer (the run is then torn down on the shared pool once the handler returns).
class PipeWireScreenCapturer : public ScreenCapturer {
 public:
  // What keeps one screen cast going while its stream is read. Destroyed (ending the screen cast)
  // after the stream, on whatever thread tears the run down.
  class Cast {
   public:
    virtual ~Cast() = default;
    // Called on the loop's thread now and then: an error once the screen cast has ended.
    virtual std::error_code check() = 0;
  };

  ~PipeWireScreenCapturer() override;

  void setFrameHandler(FrameHandler handler) final;
  void setStopHandler(StopHandler handler) final;
  void stop() final;
  void setFrameRate(int fps) final;
  void setMaxWidth(int maxWidth) final;

  struct Shared;
  struct Run;

 protected:
  PipeWireScreenCapturer();

  // Stops any running capture and takes the new settings: the first step of start().
  void prepare(int maxWidth, int fps);
  // Reads `node` of `cast` (through `remoteFd` when the caster handed out a connection to PipeWire,
  // taken in every case; -1: the session's daemon).
  [[nodiscard]] std::error_code startStream(std::unique_ptr<Cast> cast, std::uint32_t node, int remoteFd);

 private:
  const std::shared_ptr<Shared> shared_;
  std::shared_ptr<Run> run_;  // owner thread
};

}  // namespace ambrel
