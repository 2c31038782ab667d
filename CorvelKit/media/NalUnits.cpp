#include "CorvelKit/media/NalUnits.h"

#include "CorvelKit/base/BigEndian.h"

namespace corvel::media {

namespace {
constexpr int kH264SPS = 7;
constexpr int kH264PPS = 8;
constexpr int kHEVCVPS = 32;
constexpr int kHEVCSPS = 33;
constexpr int kHEVCPPS = 34;

// Position of the next 00 00 01 at or after `from`, or `size` when there is none.
std::size_t findStartCode(ByteView s, std::size_t from) {
  for (std::size_t i = from; i + 2 < s.size(); ++i) {
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) return i;
  }
  return s.size();
}
}  // namespace

std::vector<ByteView> NalUnits::splitAnnexB(ByteView stream) {
  std::vector<ByteView> units;
  std::size_t start = findStartCode(stream, 0);
  while (start < stream.size()) {
    const std::size_t begin = start + 3;
    const std::size_t next = findStartCode(stream, begin);
    std::size_t end = next;
    // Trailing zeros belong to the next start code (00 00 00 01) or are padding.
    while (end > begin && stream[end - 1] == 0) --end;
    if (end > begin) units.push_back(stream.subspan(begin, end - begin));
    start = next;
  }
  return units;
}

std::optional<std::vector<ByteView>> NalUnits::splitLengthPrefixed(ByteView data,
                                                                    std::size_t maxUnits) {
  std::vector<ByteView> units;
  ByteReader r(data);
  while (!r.atEnd()) {
    auto length = r.u32();
    if (!length || *length == 0) return std::nullopt;
    auto unit = r.bytes(*length);
    if (!unit) return std::nullopt;
    if (units.size() == maxUnits) return std::nullopt;
    units.push_back(*unit);
  }
  return units;
}

void NalUnits::appendLengthPrefixed(Bytes& out, ByteView unit) {
  ByteWriter w(out);
  w.u32(static_cast<std::uint32_t>(unit.size()));
  w.bytes(unit);
}

void NalUnits::appendAnnexB(Bytes& out, ByteView unit) {
  static constexpr std::uint8_t kStartCode[] = {0, 0, 0, 1};
  append(out, kStartCode);
  append(out, unit);
}

int NalUnits::type(VideoCodec codec, ByteView unit) {
  if (codec == VideoCodec::h264) return unit.empty() ? -1 : unit[0] & 0x1f;
  return unit.size() < 2 ? -1 : (unit[0] >> 1) & 0x3f;
}

bool NalUnits::isParameterSet(VideoCodec codec, int type) {
  if (codec == VideoCodec::h264) return type == kH264SPS || type == kH264PPS;
  return type == kHEVCVPS || type == kHEVCSPS || type == kHEVCPPS;
}

bool NalUnits::isSequenceParameterSet(VideoCodec codec, int type) {
  return type == (codec == VideoCodec::h264 ? kH264SPS : kHEVCSPS);
}

Bytes NalUnits::unescaped(ByteView unit) {
  Bytes out;
  out.reserve(unit.size());
  int zeros = 0;
  for (std::uint8_t b : unit) {
    if (zeros >= 2 && b == 3) {
      zeros = 0;
      continue;
    }
    zeros = b == 0 ? zeros + 1 : 0;
    out.push_back(b);
  }
  return out;
}

}  // namespace corvel::media
