#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/media/VideoCodec.h"

namespace corvel::media {

// One compressed video frame as it travels in a `video` message.
//
//   flags (1: 0x01 keyframe, 0x02 HEVC) | timestampMicros (8, big-endian)
//   keyframes only: N (1), then N × (length (2, big-endian) | parameter set)
//   the frame's NAL units, each after its 4-byte big-endian length, up to the end
struct VideoPacket {
  bool isKeyframe = false;
  VideoCodec codec = VideoCodec::h264;
  std::uint64_t timestampMicros = 0;
  // H.264: SPS, PPS; HEVC: VPS, SPS, PPS. Only keyframes carry them.
  std::vector<Bytes> parameterSets;
  // Length-prefixed NAL units (4-byte big-endian lengths).
  Bytes avcc;

  static constexpr std::size_t kMaxParameterSets = 255;
  static constexpr std::size_t kMaxParameterSetSize = 65535;

  // Whether `encoded()` can write it: at most 255 parameter sets of at most 65 535 bytes each.
  bool isEncodable() const;

  // The wire bytes. Throws std::length_error for a packet that is not encodable (a programming
  // error: the encoder never makes one); parameter sets of a non-keyframe are not written.
  Bytes encoded() const;

  // Parses wire bytes; nothing for malformed input. Never throws, never reads past `bytes`.
  [[nodiscard]] static std::optional<VideoPacket> parse(ByteView bytes);

  friend bool operator==(const VideoPacket&, const VideoPacket&) = default;
};

}  // namespace corvel::media
