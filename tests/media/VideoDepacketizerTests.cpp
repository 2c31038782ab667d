#include <gtest/gtest.h>

#include "CorvelKit/media/NalUnits.h"
#include "CorvelKit/media/VideoDepacketizer.h"
#include "EncodedClip.h"

namespace corvel::media {
namespace {

class VideoDepacketizerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { clip_ = new std::vector<VideoPacket>(testing::encodedClip(VideoCodec::h264)); }
  static void TearDownTestSuite() { delete clip_; }
  const VideoPacket& keyframe() const { return (*clip_)[0]; }
  const VideoPacket& delta() const { return (*clip_)[1]; }

  static std::vector<VideoPacket>* clip_;
  VideoDepacketizer depacketizer;
};
std::vector<VideoPacket>* VideoDepacketizerTest::clip_ = nullptr;

TEST_F(VideoDepacketizerTest, WaitsForAKeyframeWithParameterSets) {
  EXPECT_EQ(depacketizer.width(), 0);
  EXPECT_FALSE(depacketizer.sample(delta()));
  VideoPacket bare = keyframe();
  bare.parameterSets.clear();
  EXPECT_FALSE(depacketizer.sample(bare));

  auto sample = depacketizer.sample(keyframe());
  ASSERT_TRUE(sample);
  EXPECT_TRUE(sample->isKeyframe);
  EXPECT_EQ(sample->data, keyframe().avcc);
  EXPECT_EQ(sample->timestampMicros, keyframe().timestampMicros);
  EXPECT_EQ(depacketizer.width(), 320);
  EXPECT_EQ(depacketizer.height(), 240);

  auto next = depacketizer.sample(delta());
  ASSERT_TRUE(next);
  EXPECT_FALSE(next->isKeyframe);
  EXPECT_EQ(next->format, sample->format);
}

TEST_F(VideoDepacketizerTest, KeepsItsFormatWhenAKeyframeBringsNoneOrABadOne) {
  ASSERT_TRUE(depacketizer.sample(keyframe()));
  const auto format = depacketizer.format();

  VideoPacket bare = keyframe();
  bare.parameterSets.clear();
  auto sample = depacketizer.sample(bare);
  ASSERT_TRUE(sample);
  EXPECT_EQ(sample->format, format);

  struct Case {
    const char* name;
    std::vector<Bytes> sets;
  };
  const Bytes sps = keyframe().parameterSets[0];
  const Bytes pps = keyframe().parameterSets[1];
  const Case cases[] = {
      {"SPS only", {sps}},
      {"PPS only", {pps}},
      {"slice data as a set", {sps, pps, Bytes{0x65, 0x88}}},
      {"truncated SPS", {Bytes(sps.begin(), sps.begin() + 3), pps}},
      {"empty sets", {Bytes{}, Bytes{}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    VideoPacket bad = keyframe();
    bad.parameterSets = c.sets;
    auto s = depacketizer.sample(bad);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->format, format);
  }
}

TEST_F(VideoDepacketizerTest, RefusesPayloadsItCannotHandOn) {
  ASSERT_TRUE(depacketizer.sample(keyframe()));
  struct Case {
    const char* name;
    VideoCodec codec;
    Bytes avcc;
  };
  const Case cases[] = {
      {"empty payload", VideoCodec::h264, {}},
      {"length runs past the end", VideoCodec::h264, {0, 0, 0, 9, 0x41, 0x9a}},
      {"zero length", VideoCodec::h264, {0, 0, 0, 0}},
      {"partial length left over", VideoCodec::h264, {0, 0, 0, 1, 0x41, 0, 0}},
      {"another codec", VideoCodec::hevc, delta().avcc},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    VideoPacket p = delta();
    p.codec = c.codec;
    p.avcc = c.avcc;
    EXPECT_FALSE(depacketizer.sample(p));
  }

  // More NAL units in one frame than any real picture has.
  VideoPacket many = delta();
  many.avcc.clear();
  for (std::size_t i = 0; i <= NalUnits::kMaxUnitsPerFrame; ++i) NalUnits::appendLengthPrefixed(many.avcc, Bytes{0x41});
  EXPECT_FALSE(depacketizer.sample(many));
}

TEST(NalUnits, SplitsAnnexBWithEitherStartCode) {
  const Bytes stream{0, 0, 0, 1, 0x67, 1, 2, 0, 0, 1, 0x68, 3, 0, 0, 0, 0, 1, 0x65, 0, 0, 3, 1};
  auto units = NalUnits::splitAnnexB(stream);
  ASSERT_EQ(units.size(), 3u);
  EXPECT_EQ(Bytes(units[0].begin(), units[0].end()), (Bytes{0x67, 1, 2}));
  EXPECT_EQ(Bytes(units[1].begin(), units[1].end()), (Bytes{0x68, 3}));
  EXPECT_EQ(Bytes(units[2].begin(), units[2].end()), (Bytes{0x65, 0, 0, 3, 1}));
  EXPECT_EQ(NalUnits::unescaped(units[2]), (Bytes{0x65, 0, 0, 1}));
  EXPECT_TRUE(NalUnits::splitAnnexB(Bytes{1, 2, 3}).empty());
}

}  // namespace
}  // namespace corvel::media
