#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/media/VideoCodec.h"

namespace corvel::media {

// NAL unit framing: Annex B byte streams (start codes) as encoders write them, and the 4-byte
// length-prefixed form that packets carry. Every reader here is safe on untrusted bytes.
struct NalUnits {
  // More NAL units than this in one frame is not a real picture.
  static constexpr std::size_t kMaxUnitsPerFrame = 1024;

  // The NAL units of an Annex B stream, start codes removed (empty units are skipped).
  static std::vector<ByteView> splitAnnexB(ByteView stream);

  // The NAL units of length-prefixed data, or nothing when a length is zero or runs past the
  // end, a partial length is left over, or there are more than `maxUnits` units.
  [[nodiscard]] static std::optional<std::vector<ByteView>> splitLengthPrefixed(
      ByteView data, std::size_t maxUnits = kMaxUnitsPerFrame);

  static void appendLengthPrefixed(Bytes& out, ByteView unit);
  static void appendAnnexB(Bytes& out, ByteView unit);

  // The unit's type from its header, or -1 for a unit too short to have one.
  static int type(VideoCodec codec, ByteView unit);
  // SPS/PPS for H.264; VPS/SPS/PPS for HEVC.
  static bool isParameterSet(VideoCodec codec, int type);
  static bool isSequenceParameterSet(VideoCodec codec, int type);

  // The raw bit payload of a unit: emulation-prevention bytes (00 00 03) removed.
  static Bytes unescaped(ByteView unit);
};

}  // namespace corvel::media
