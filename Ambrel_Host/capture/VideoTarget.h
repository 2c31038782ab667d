#pragma once

#include <functional>
#include <memory>

#include "CorvelKit/base/Bytes.h"

namespace ambrel {

// A client's flow-control state for video, as a pipeline reads and changes it under the
// client's own lock.
struct VideoFlow {
  bool isViewer = false;       // admitted and watching (not only sharing its own screen)
  int inFlight = 0;            // video messages handed to the connection and not yet sent
  bool needsKeyframe = true;   // nothing more until a keyframe
};

// Something a video pipeline sends its packets to.
class VideoTarget {
 public:
  virtual ~VideoTarget() = default;
  // Runs `change` on the flow state under the target's lock; what it leaves there is kept.
  virtual void withVideoFlow(const std::function<void(VideoFlow&)>& change) = 0;
  // Sends one `video` message; `sent` runs once it is handed on or has failed, on any thread.
  virtual void sendVideo(corvel::ByteView wire, std::function<void()> sent) = 0;
};

}  // namespace ambrel
