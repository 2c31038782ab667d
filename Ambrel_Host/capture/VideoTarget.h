#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "CorvelKit/base/Bytes.h"

namespace ambrel {

// What a viewer that falls behind does to the stream.
enum class VideoPacing {
  // Holds the display back: while it has `maxInFlight` messages outstanding, the next captured
  // frame is skipped before encoding (for everyone), and a packet it misses anyway forces a
  // keyframe at once.
  holdsBack,
  // Never holds anyone back: a packet that finds all its slots taken is dropped for it alone and
  // nothing is asked of the encoder; once a slot frees up it waits with room, which asks for a
  // keyframe of the current picture.
  dropsBehind,
};

// A client's flow-control state for video, as a pipeline reads and changes it under the
// client's own lock.
struct VideoFlow {
  static constexpr int defaultMaxInFlight = 3;

  bool isViewer = false;       // admitted and watching (not only sharing its own screen)
  int inFlight = 0;            // video messages handed to the connection and not yet sent
  bool needsKeyframe = true;   // nothing more until a keyframe
  // Set by the target: how many messages it may have outstanding, and what happens beyond.
  int maxInFlight = defaultMaxInFlight;
  VideoPacing pacing = VideoPacing::holdsBack;
  // Kept by the pipeline: when a message was last delivered (or sent into an empty queue), and
  // whether the viewer stopped taking them for so long that it no longer holds the display back.
  std::chrono::steady_clock::time_point lastProgress{};
  bool stalled = false;
};

// Something a video pipeline sends its packets to.
class VideoTarget {
 public:
  virtual ~VideoTarget() = default;
  // Runs `change` on the flow state under the target's lock; what it leaves there is kept.
  // `change` only reads and writes the state: it calls nothing else.
  virtual void withVideoFlow(const std::function<void(VideoFlow&)>& change) = 0;
  // Sends one `video` message; `sent` runs once it is handed on or has failed, on any thread.
  virtual void sendVideo(corvel::ByteView wire, std::function<void()> sent) = 0;
  // The same for a target that keeps the bytes past the call: every target of a packet shares
  // one buffer. By default the bytes are sent as a view.
  virtual void sendSharedVideo(std::shared_ptr<const corvel::Bytes> wire,
                               std::function<void()> sent) {
    sendVideo(corvel::ByteView(*wire), std::move(sent));
  }
};

}  // namespace ambrel
