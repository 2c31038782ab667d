#pragma once

#include <optional>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/media/VideoCodec.h"

namespace corvel::media {

// What a stream's sequence parameter set says about its pictures: the displayed size after
// cropping. Read from untrusted bytes before any decoder sees them, so that absurd sizes are
// refused before anything is allocated for them.
struct SequenceParameterSet {
  int width = 0;
  int height = 0;

  // Largest width or height accepted from a peer.
  static constexpr int kMaxDimension = 8192;

  // Parses one SPS NAL unit (with its header). Nothing when it is truncated, inconsistent, of
  // another type, or describes a picture outside 1…kMaxDimension on either side.
  [[nodiscard]] static std::optional<SequenceParameterSet> parse(VideoCodec codec, ByteView unit);
};

}  // namespace corvel::media
