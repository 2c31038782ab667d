#include <gtest/gtest.h>

#include "CorvelKit/media/SequenceParameterSet.h"

namespace corvel::media {
namespace {

// Writes a baseline-profile H.264 SPS with the given size in macroblocks, bit by bit.
class SPSWriter {
 public:
  void bit(unsigned b) {
    if (count_ % 8 == 0) bytes_.push_back(0);
    bytes_.back() = static_cast<std::uint8_t>(bytes_.back() | (b & 1) << (7 - count_ % 8));
    ++count_;
  }
  void bits(unsigned value, int n) {
    for (int i = n - 1; i >= 0; --i) bit(value >> i & 1);
  }
  void ue(std::uint32_t v) {
    const std::uint64_t code = std::uint64_t{v} + 1;
    int length = 0;
    while ((code >> length) > 1) ++length;
    for (int i = 0; i < length; ++i) bit(0);
    for (int i = length; i >= 0; --i) bit(static_cast<unsigned>(code >> i & 1));
  }
  Bytes finish() {
    bit(1);  // stop bit
    return bytes_;
  }

  static Bytes baseline(std::uint32_t widthMbs, std::uint32_t heightMbs, std::uint32_t cropRight = 0,
                        std::uint32_t cropBottom = 0) {
    SPSWriter w;
    w.bits(0x67, 8);  // NAL header: SPS
    w.bits(66, 8);    // baseline
    w.bits(0, 8);
    w.bits(30, 8);    // level 3.0
    w.ue(0);          // sps id
    w.ue(0);          // log2_max_frame_num - 4
    w.ue(0);          // poc type 0
    w.ue(0);          // log2_max_poc_lsb - 4
    w.ue(1);          // ref frames
    w.bit(0);
    w.ue(widthMbs - 1);
    w.ue(heightMbs - 1);
    w.bit(1);  // frame_mbs_only
    w.bit(1);  // direct_8x8
    const bool crop = cropRight || cropBottom;
    w.bit(crop);
    if (crop) {
      w.ue(0);
      w.ue(cropRight);
      w.ue(0);
      w.ue(cropBottom);
    }
    w.bit(0);  // no VUI
    return w.finish();
  }

 private:
  Bytes bytes_;
  int count_ = 0;
};

TEST(SequenceParameterSet, ReadsTheCroppedPictureSize) {
  auto sps = SequenceParameterSet::parse(VideoCodec::h264, SPSWriter::baseline(20, 15));
  ASSERT_TRUE(sps);
  EXPECT_EQ(sps->width, 320);
  EXPECT_EQ(sps->height, 240);

  // 1920×1080 is coded as 120×68 macroblocks with 8 rows cropped (4 units of 2 rows).
  sps = SequenceParameterSet::parse(VideoCodec::h264, SPSWriter::baseline(120, 68, 0, 4));
  ASSERT_TRUE(sps);
  EXPECT_EQ(sps->width, 1920);
  EXPECT_EQ(sps->height, 1080);
}

TEST(SequenceParameterSet, RefusesWhatNoPictureCanBe) {
  const Bytes full = SPSWriter::baseline(20, 15);
  struct Case {
    const char* name;
    VideoCodec codec;
    Bytes unit;
  };
  const Case cases[] = {
      {"too wide", VideoCodec::h264, SPSWriter::baseline(513, 15)},
      {"too tall", VideoCodec::h264, SPSWriter::baseline(20, 100000)},
      {"cropped to nothing", VideoCodec::h264, SPSWriter::baseline(1, 1, 8, 0)},
      {"truncated", VideoCodec::h264, Bytes(full.begin(), full.begin() + 6)},
      {"header only", VideoCodec::h264, Bytes{0x67}},
      {"empty", VideoCodec::h264, Bytes{}},
      {"a PPS", VideoCodec::h264, Bytes{0x68, 0xee, 0x3c, 0x80}},
      {"H.264 SPS read as HEVC", VideoCodec::hevc, full},
      {"endless zeros", VideoCodec::h264, Bytes{0x67, 66, 0, 30, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(SequenceParameterSet::parse(c.codec, c.unit));
  }
}

}  // namespace
}  // namespace corvel::media
