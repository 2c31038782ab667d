#include "CorvelKit/media/SequenceParameterSet.h"

#include <cstdint>

#include "CorvelKit/media/NalUnits.h"

namespace corvel::media {

namespace {

// Reads bits most-significant first; any read past the end marks the reader failed and yields 0.
class BitReader {
 public:
  explicit BitReader(ByteView data) : data_(data) {}

  bool failed() const { return failed_; }

  std::uint32_t bits(int n) {
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 1 | bit();
    return v;
  }
  void skip(std::size_t n) {
    if (n > remaining()) {
      failed_ = true;
      pos_ = data_.size() * 8;
      return;
    }
    pos_ += n;
  }
  // Unsigned Exp-Golomb; values needing more than 31 leading zeros are refused.
  std::uint32_t ue() {
    int zeros = 0;
    while (!failed_ && bit() == 0) {
      if (++zeros > 31) {
        failed_ = true;
        return 0;
      }
    }
    if (failed_) return 0;
    const std::uint64_t value = (std::uint64_t{1} << zeros) - 1 + bits(zeros);
    if (value > 0xffffffffu) failed_ = true;
    return static_cast<std::uint32_t>(value);
  }
  std::int64_t se() {
    const std::uint32_t k = ue();
    return (k & 1) ? std::int64_t{(k + 1) / 2} : -std::int64_t{k / 2};
  }

 private:
  std::size_t remaining() const { return data_.size() * 8 - pos_; }
  std::uint32_t bit() {
    if (pos_ >= data_.size() * 8) {
      failed_ = true;
      return 0;
    }
    const std::uint32_t b = (data_[pos_ / 8] >> (7 - pos_ % 8)) & 1;
    ++pos_;
    return b;
  }
  ByteView data_;
  std::size_t pos_ = 0;
  bool failed_ = false;
};

std::optional<SequenceParameterSet> checked(std::int64_t width, std::int64_t height) {
  constexpr std::int64_t kMax = SequenceParameterSet::kMaxDimension;
  if (width < 1 || height < 1 || width > kMax || height > kMax) return std::nullopt;
  return SequenceParameterSet{static_cast<int>(width), static_cast<int>(height)};
}

bool isHighProfile(std::uint32_t profile) {
  switch (profile) {
    case 100: case 110: case 122: case 244: case 44: case 83:
    case 86: case 118: case 128: case 138: case 139: case 134: case 135:
      return true;
    default:
      return false;
  }
}

void skipScalingList(BitReader& r, int size) {
  std::int64_t last = 8;
  std::int64_t next = 8;
  for (int j = 0; j < size && !r.failed(); ++j) {
    if (next != 0) next = ((last + r.se()) % 256 + 256) % 256;
    last = next == 0 ? last : next;
  }
}

std::optional<SequenceParameterSet> parseH264(BitReader& r) {
  const std::uint32_t profile = r.bits(8);
  r.skip(16);  // constraint flags, level
  if (r.ue() > 31) return std::nullopt;
  std::uint32_t chromaFormat = 1;
  bool separatePlanes = false;
  if (isHighProfile(profile)) {
    chromaFormat = r.ue();
    if (chromaFormat > 3) return std::nullopt;
    if (chromaFormat == 3) separatePlanes = r.bits(1) != 0;
    if (r.ue() > 6 || r.ue() > 6) return std::nullopt;  // bit depths
    r.skip(1);
    if (r.bits(1)) {
      const int lists = chromaFormat != 3 ? 8 : 12;
      for (int i = 0; i < lists && !r.failed(); ++i) {
        if (r.bits(1)) skipScalingList(r, i < 6 ? 16 : 64);
      }
    }
  }
  if (r.ue() > 12) return std::nullopt;  // log2_max_frame_num - 4
  const std::uint32_t pocType = r.ue();
  if (pocType == 0) {
    if (r.ue() > 12) return std::nullopt;
  } else if (pocType == 1) {
    r.skip(1);
    r.se();
    r.se();
    const std::uint32_t cycle = r.ue();
    if (cycle > 255) return std::nullopt;
    for (std::uint32_t i = 0; i < cycle && !r.failed(); ++i) r.se();
  } else if (pocType != 2) {
    return std::nullopt;
  }
  r.ue();      // max_num_ref_frames
  r.skip(1);   // gaps_in_frame_num_allowed
  const std::int64_t widthMbs = std::int64_t{r.ue()} + 1;
  const std::int64_t heightUnits = std::int64_t{r.ue()} + 1;
  const bool frameMbsOnly = r.bits(1) != 0;
  if (!frameMbsOnly) r.skip(1);
  r.skip(1);  // direct_8x8_inference
  std::int64_t cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
  if (r.bits(1)) {
    cropLeft = r.ue();
    cropRight = r.ue();
    cropTop = r.ue();
    cropBottom = r.ue();
  }
  if (r.failed()) return std::nullopt;
  const std::int64_t fieldFactor = frameMbsOnly ? 1 : 2;
  std::int64_t unitX = 1;
  std::int64_t unitY = fieldFactor;
  if (!separatePlanes && chromaFormat != 0) {
    unitX = chromaFormat == 3 ? 1 : 2;
    unitY = (chromaFormat == 1 ? 2 : 1) * fieldFactor;
  }
  return checked(widthMbs * 16 - unitX * (cropLeft + cropRight),
                 fieldFactor * heightUnits * 16 - unitY * (cropTop + cropBottom));
}

std::optional<SequenceParameterSet> parseHEVC(BitReader& r) {
  r.skip(4);  // vps id
  const std::uint32_t subLayers = r.bits(3);
  if (subLayers > 6) return std::nullopt;
  r.skip(1);
  r.skip(88 + 8);  // general profile, tier, level
  bool profilePresent[8] = {};
  bool levelPresent[8] = {};
  for (std::uint32_t i = 0; i < subLayers; ++i) {
    profilePresent[i] = r.bits(1) != 0;
    levelPresent[i] = r.bits(1) != 0;
  }
  if (subLayers > 0) r.skip(2 * (8 - subLayers));
  for (std::uint32_t i = 0; i < subLayers; ++i) {
    if (profilePresent[i]) r.skip(88);
    if (levelPresent[i]) r.skip(8);
  }
  if (r.ue() > 15) return std::nullopt;
  const std::uint32_t chromaFormat = r.ue();
  if (chromaFormat > 3) return std::nullopt;
  bool separatePlanes = false;
  if (chromaFormat == 3) separatePlanes = r.bits(1) != 0;
  std::int64_t width = r.ue();
  std::int64_t height = r.ue();
  if (r.bits(1)) {
    const std::int64_t subWidth =
        !separatePlanes && (chromaFormat == 1 || chromaFormat == 2) ? 2 : 1;
    const std::int64_t subHeight = !separatePlanes && chromaFormat == 1 ? 2 : 1;
    const std::int64_t left = r.ue(), right = r.ue(), top = r.ue(), bottom = r.ue();
    width -= subWidth * (left + right);
    height -= subHeight * (top + bottom);
  }
  if (r.failed()) return std::nullopt;
  return checked(width, height);
}

}  // namespace

std::optional<SequenceParameterSet> SequenceParameterSet::parse(VideoCodec codec, ByteView unit) {
  if (!NalUnits::isSequenceParameterSet(codec, NalUnits::type(codec, unit))) return std::nullopt;
  const std::size_t header = codec == VideoCodec::h264 ? 1 : 2;
  // An SPS is small; a huge one is not worth unescaping.
  if (unit.size() > 4096) return std::nullopt;
  const Bytes payload = NalUnits::unescaped(unit.subspan(header));
  BitReader r(payload);
  return codec == VideoCodec::h264 ? parseH264(r) : parseHEVC(r);
}

}  // namespace corvel::media
