#include "CorvelKit/media/VideoDepacketizer.h"

#include "CorvelKit/media/NalUnits.h"

namespace corvel::media {

std::optional<VideoSample> VideoDepacketizer::sample(VideoPacket packet) {
  if (packet.isKeyframe && !packet.parameterSets.empty()) {
    // A keyframe's parameter sets replace the format unless they are the same; invalid ones
    // leave the previous format in place.
    if (!format_ || format_->codec != packet.codec ||
        format_->parameterSets != packet.parameterSets) {
      if (auto made = VideoFormat::make(packet.codec, std::move(packet.parameterSets))) {
        format_ = std::make_shared<const VideoFormat>(std::move(*made));
      }
    }
  }
  if (!format_ || packet.avcc.empty()) return std::nullopt;
  if (format_->codec != packet.codec) return std::nullopt;
  if (!NalUnits::splitLengthPrefixed(packet.avcc)) return std::nullopt;
  return VideoSample{format_, std::move(packet.avcc), packet.timestampMicros, packet.isKeyframe};
}

}  // namespace corvel::media
