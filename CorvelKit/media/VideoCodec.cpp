#include "CorvelKit/media/VideoCodec.h"

#include "CorvelKit/base/JSONCoding.h"

namespace corvel::media {

std::optional<VideoCodec> videoCodecFromWire(std::string_view text) {
  for (std::size_t i = 0; i < videoCodecNames.size(); ++i) {
    if (videoCodecNames[i] == text) return static_cast<VideoCodec>(i);
  }
  return std::nullopt;
}

VideoCodec negotiatedVideoCodec(bool preferHEVC,
                                std::span<const std::optional<bool>> viewerHEVCSupport) {
  if (!preferHEVC || viewerHEVCSupport.empty()) return VideoCodec::h264;
  for (const auto& supports : viewerHEVCSupport) {
    if (!supports.value_or(false)) return VideoCodec::h264;
  }
  return VideoCodec::hevc;
}

void encodeJSON(JSON& out, VideoCodec value) { out = wireName(value); }

bool decodeJSON(const JSON& in, VideoCodec& out, DecodingError& error) {
  std::size_t index = 0;
  if (!decodeStringEnumeration(in, videoCodecNames, "VideoCodec", index, error)) return false;
  out = static_cast<VideoCodec>(index);
  return true;
}

}  // namespace corvel::media
