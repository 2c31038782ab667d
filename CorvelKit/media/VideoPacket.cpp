#include "CorvelKit/media/VideoPacket.h"

#include <stdexcept>

#include "CorvelKit/base/BigEndian.h"

namespace corvel::media {

namespace {
constexpr std::uint8_t kKeyframeFlag = 0x01;
constexpr std::uint8_t kHEVCFlag = 0x02;
constexpr std::size_t kHeaderSize = 9;
}  // namespace

bool VideoPacket::isEncodable() const {
  if (!isKeyframe) return true;
  if (parameterSets.size() > kMaxParameterSets) return false;
  for (const auto& set : parameterSets) {
    if (set.size() > kMaxParameterSetSize) return false;
  }
  return true;
}

Bytes VideoPacket::encoded() const {
  if (!isEncodable()) throw std::length_error("video packet: parameter sets cannot be encoded");
  Bytes out;
  out.reserve(avcc.size() + 64);
  ByteWriter w(out);
  w.u8(static_cast<std::uint8_t>((codec == VideoCodec::hevc ? kHEVCFlag : 0) |
                                 (isKeyframe ? kKeyframeFlag : 0)));
  w.u64(timestampMicros);
  if (isKeyframe) {
    w.u8(static_cast<std::uint8_t>(parameterSets.size()));
    for (const auto& set : parameterSets) {
      w.u16(static_cast<std::uint16_t>(set.size()));
      w.bytes(set);
    }
  }
  w.bytes(avcc);
  return out;
}

std::optional<VideoPacket> VideoPacket::parse(ByteView bytes) {
  if (bytes.size() < kHeaderSize) return std::nullopt;
  ByteReader r(bytes);
  VideoPacket packet;
  const std::uint8_t flags = *r.u8();
  packet.isKeyframe = (flags & kKeyframeFlag) != 0;
  packet.codec = (flags & kHEVCFlag) != 0 ? VideoCodec::hevc : VideoCodec::h264;
  packet.timestampMicros = *r.u64();
  if (packet.isKeyframe) {
    auto count = r.u8();
    if (!count) return std::nullopt;
    packet.parameterSets.reserve(*count);
    for (std::size_t i = 0; i < *count; ++i) {
      auto length = r.u16();
      if (!length) return std::nullopt;
      auto set = r.bytes(*length);
      if (!set) return std::nullopt;
      packet.parameterSets.emplace_back(set->begin(), set->end());
    }
  }
  auto rest = r.rest();
  packet.avcc.assign(rest.begin(), rest.end());
  return packet;
}

}  // namespace corvel::media
