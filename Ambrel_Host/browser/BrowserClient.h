#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "Ambrel_Host/browser/BrowserSocket.h"
#include "Ambrel_Host/browser/WebSocketFrame.h"
#include "Ambrel_Host/capture/StreamViewer.h"
#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/protocol/InputEvent.h"

namespace ambrel {

// One upgraded WebSocket viewer: reads the page's frames (input, ping, close) and writes video
// and pongs, one write at a time. To the display streams it is a viewer that never holds the
// stream back: at most 4 video frames in flight, and after a drop nothing until a keyframe.
//
// A page that says which video messages it is done with ({"t":"decoded","count":N}: decoded or
// dropped) sets the pace instead: a message stays in flight until the page is done with it, and
// like a native viewer the page holds the display back while 4 are, so a page that decodes
// slower than the screen changes gets every frame the host encodes, without gaps to fill with
// keyframes.
//
// Threads: reading, parsing and writing run on the socket's strand. The StreamViewer methods,
// watch() and close() may be called from any thread; `mutex_` guards the fields marked so and is
// never held across a send or a callback (withVideoFlow's `change` aside, which only does
// arithmetic on the flow state).
class BrowserClient final : public StreamViewer, public std::enable_shared_from_this<BrowserClient> {
 public:
  static constexpr int maxInFlight = 4;
  static constexpr std::size_t readChunkBytes = 65'536;
  // Pongs waiting to be written beyond these close the viewer: it sends pings but does not read.
  static constexpr std::size_t maxQueuedControlFrames = 64;
  static constexpr std::size_t maxQueuedControlBytes = 1 << 20;

  explicit BrowserClient(std::shared_ptr<BrowserSocket> socket);
  ~BrowserClient() override;

  // Set before start(). Both run on the strand.
  std::function<void(const corvel::protocol::InputEvent&)> onInput;
  // Runs once, when the page closes the socket or the connection ends (not after close()).
  std::function<void(BrowserClient&)> onClose;

  // On the strand: takes `leftover` (bytes that came after the request head) as the first
  // WebSocket bytes, then reads.
  void start(corvel::Bytes leftover);

  // The display it is shown from now on; nothing (as at first): it watches nothing. Any thread.
  void watch(std::optional<std::uint32_t> displayID);

  // StreamViewer. Any thread.
  Description describe() const override;
  void withVideoFlow(const std::function<void(VideoFlow&)>& change) override;
  // One binary frame with a copy of `wire`.
  void sendVideo(corvel::ByteView wire, std::function<void()> sent) override;
  // One binary frame that shares `wire` with the other viewers' writes.
  void sendSharedVideo(std::shared_ptr<const corvel::Bytes> wire, std::function<void()> sent) override;

  // Closes from this side (no onClose). Any thread.
  void close();
  bool isClosed() const;
  int inFlight() const;

 private:
  struct Outgoing {
    WebSocketFrame::Header header;
    std::shared_ptr<const corvel::Bytes> video;  // video frames share the packet's bytes
    corvel::Bytes control;                       // a pong's payload
    std::function<void()> sent;                  // a video frame's completion
  };

  void readNext();
  void consume(corvel::ByteView data);
  // Marks the client closed; true the first time.
  bool markClosed();
  void closeFromPeer();
  void enqueue(Outgoing outgoing);
  void writeNext();
  // The page is done with `count` more video messages.
  void decoded(std::uint64_t count);
  // Frees every slot still held for the page.
  void releaseAwaitingDecode();

  const std::shared_ptr<BrowserSocket> socket_;

  mutable std::mutex mutex_;  // guards the fields below
  bool closed_ = false;
  bool writeFailed_ = false;  // no more video: the connection is broken
  std::optional<std::uint32_t> displayID_;
  VideoFlow flow_;
  bool pacedByPage_ = false;

  // Strand only.
  corvel::Bytes buffer_;
  std::array<std::uint8_t, readChunkBytes> chunk_{};
  std::deque<Outgoing> queue_;
  std::size_t queuedControl_ = 0;
  std::size_t queuedControlBytes_ = 0;
  bool writing_ = false;
  bool closeReported_ = false;
  // Video messages written that a pacing page has not said it is done with: their completions.
  std::deque<std::function<void()>> awaitingDecode_;
};

}  // namespace ambrel
