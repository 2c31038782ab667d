#include "CorvelKit/media/VideoFormat.h"

#include "CorvelKit/media/NalUnits.h"
#include "CorvelKit/media/SequenceParameterSet.h"

namespace corvel::media {

std::optional<VideoFormat> VideoFormat::make(VideoCodec codec, std::vector<Bytes> parameterSets) {
  std::optional<SequenceParameterSet> sps;
  bool hasVPS = false;
  bool hasPPS = false;
  for (const auto& set : parameterSets) {
    const int type = NalUnits::type(codec, set);
    if (!NalUnits::isParameterSet(codec, type)) return std::nullopt;
    if (NalUnits::isSequenceParameterSet(codec, type)) {
      if (!sps) {
        sps = SequenceParameterSet::parse(codec, set);
        if (!sps) return std::nullopt;
      }
    } else if (codec == VideoCodec::hevc && type == 32) {
      hasVPS = true;
    } else {
      hasPPS = true;
    }
  }
  if (!sps || !hasPPS || (codec == VideoCodec::hevc && !hasVPS)) return std::nullopt;
  return VideoFormat{codec, std::move(parameterSets), sps->width, sps->height};
}

}  // namespace corvel::media
