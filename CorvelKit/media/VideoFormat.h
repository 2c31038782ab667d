#pragma once

#include <optional>
#include <vector>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/media/VideoCodec.h"

namespace corvel::media {

// The format of a compressed stream: its codec, its parameter sets in order and the picture
// size its SPS declares. Two samples belong to the same stream when their formats are equal.
struct VideoFormat {
  VideoCodec codec = VideoCodec::h264;
  std::vector<Bytes> parameterSets;
  int width = 0;
  int height = 0;

  // Builds a format from a keyframe's parameter sets: every set must be a parameter set of the
  // codec, the required ones (SPS and PPS; for HEVC also the VPS) must be present, and the SPS
  // must describe a sane picture size. Nothing otherwise.
  [[nodiscard]] static std::optional<VideoFormat> make(VideoCodec codec,
                                                       std::vector<Bytes> parameterSets);

  friend bool operator==(const VideoFormat&, const VideoFormat&) = default;
};

}  // namespace corvel::media
