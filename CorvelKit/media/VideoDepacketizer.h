#pragma once

#include <memory>
#include <optional>

#include "CorvelKit/media/VideoPacket.h"
#include "CorvelKit/media/VideoSample.h"

namespace corvel::media {

// Turns received packets back into samples. It remembers the stream's format from the last
// keyframe whose parameter sets made a valid one; until then there are no samples.
class VideoDepacketizer {
 public:
  // The sample of a packet, or nothing: no format yet, an empty payload, malformed NAL units,
  // or a packet of another codec than the current format.
  [[nodiscard]] std::optional<VideoSample> sample(VideoPacket packet);

  // The current format's picture size; 0 × 0 without one.
  int width() const { return format_ ? format_->width : 0; }
  int height() const { return format_ ? format_->height : 0; }
  const std::shared_ptr<const VideoFormat>& format() const { return format_; }

 private:
  std::shared_ptr<const VideoFormat> format_;
};

}  // namespace corvel::media
