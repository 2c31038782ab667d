#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "Ambrel_Host/browser/BrowserSocket.h"
#include "Ambrel_Host/browser/WebSocketFrame.h"
#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/protocol/InputEvent.h"

namespace ambrel {

// One upgraded WebSocket viewer: reads the page's frames (input, ping, close) and writes video
// and pongs, one write at a time.
//
// Threads: reading, parsing and writing run on the socket's strand. offerVideo() and close() may
// be called from any thread; `mutex_` guards `closed_`, `inFlight_` and `needsKeyframe_` and is
// never held across a send or a callback.
class BrowserClient : public std::enable_shared_from_this<BrowserClient> {
 public:
  static constexpr int maxInFlight = 4;
  static constexpr std::size_t readChunkBytes = 65'536;
  // Pongs waiting to be written beyond these close the viewer: it sends pings but does not read.
  static constexpr std::size_t maxQueuedControlFrames = 64;
  static constexpr std::size_t maxQueuedControlBytes = 1 << 20;

  enum class Offer {
    sent,                // handed to the transport
    full,                // maxInFlight frames outstanding; now waits for a keyframe
    waitingForKeyframe,  // has room, but may only take a keyframe next
    closed,
  };

  explicit BrowserClient(std::shared_ptr<BrowserSocket> socket);
  ~BrowserClient();

  // Set before start(). Both run on the strand.
  std::function<void(const corvel::protocol::InputEvent&)> onInput;
  // Runs once, when the page closes the socket or the connection ends (not after close()).
  std::function<void(BrowserClient&)> onClose;
  // Runs when a viewer that fell behind has room again and waits for a keyframe: on a still
  // screen no new picture would bring one.
  std::function<void()> onNeedsKeyframe;

  // On the strand: takes `leftover` (bytes that came after the request head) as the first
  // WebSocket bytes, then reads.
  void start(corvel::Bytes leftover);

  // One video packet's wire bytes as a binary frame. Any thread.
  Offer offerVideo(bool isKeyframe, const std::shared_ptr<const corvel::Bytes>& wire);

  // Closes from this side (no onClose). Any thread.
  void close();
  bool isClosed() const;
  int inFlight() const;

 private:
  struct Outgoing {
    WebSocketFrame::Header header;
    std::shared_ptr<const corvel::Bytes> video;  // video frames share the packet's bytes
    corvel::Bytes control;                       // a pong's payload
  };

  void readNext();
  void consume(corvel::ByteView data);
  // Marks the client closed; true the first time.
  bool markClosed();
  void closeFromPeer();
  void enqueue(Outgoing outgoing);
  void writeNext();
  // Gives a video slot back; true when the viewer now has room and waits for a keyframe.
  bool videoSent();

  const std::shared_ptr<BrowserSocket> socket_;

  mutable std::mutex mutex_;  // guards the three fields below
  bool closed_ = false;
  int inFlight_ = 0;
  bool needsKeyframe_ = true;

  // Strand only.
  corvel::Bytes buffer_;
  std::array<std::uint8_t, readChunkBytes> chunk_{};
  std::deque<Outgoing> queue_;
  std::size_t queuedControl_ = 0;
  std::size_t queuedControlBytes_ = 0;
  bool writing_ = false;
  bool closeReported_ = false;
};

}  // namespace ambrel
