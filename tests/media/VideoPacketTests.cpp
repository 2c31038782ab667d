#include <gtest/gtest.h>

#include <stdexcept>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/media/VideoPacket.h"

namespace corvel::media {
namespace {

Bytes hex(std::string_view text) {
  Bytes out;
  EXPECT_TRUE(parseHex(text, out)) << text;
  return out;
}

TEST(VideoPacket, WritesTheWireLayout) {
  struct Case {
    const char* name;
    VideoPacket packet;
    const char* wire;
  };
  const Case cases[] = {
      {"h264 delta", {false, VideoCodec::h264, 0x0102030405060708, {}, hex("00000001aa")},
       "00" "0102030405060708" "00000001aa"},
      {"hevc delta, empty payload", {false, VideoCodec::hevc, 1, {}, {}},
       "02" "0000000000000001"},
      {"h264 keyframe with two sets",
       {true, VideoCodec::h264, 42, {hex("6764"), hex("68ee3c80")}, hex("0000000265b8")},
       "01" "000000000000002a" "02" "00026764" "000468ee3c80" "0000000265b8"},
      {"hevc keyframe without sets", {true, VideoCodec::hevc, 0, {}, hex("00000001ff")},
       "03" "0000000000000000" "00" "00000001ff"},
      {"keyframe with an empty set", {true, VideoCodec::h264, 7, {Bytes{}}, {}},
       "01" "0000000000000007" "01" "0000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(hexString(c.packet.encoded()), c.wire);
    auto parsed = VideoPacket::parse(hex(c.wire));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, c.packet);
  }
}

TEST(VideoPacket, ReadsFlagsAndIgnoresUnknownBits) {
  struct Case {
    const char* wire;
    bool keyframe;
    VideoCodec codec;
  };
  const Case cases[] = {
      {"03" "0000000000000000" "00", true, VideoCodec::hevc},
      {"02" "0000000000000000", false, VideoCodec::hevc},
      {"fc" "0000000000000000", false, VideoCodec::h264},
      {"fd" "0000000000000000" "00", true, VideoCodec::h264},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.wire);
    auto parsed = VideoPacket::parse(hex(c.wire));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->isKeyframe, c.keyframe);
    EXPECT_EQ(parsed->codec, c.codec);
    // Re-encoding writes the unknown bits as zero.
    EXPECT_EQ(parsed->encoded()[0] & 0xfc, 0);
  }
}

TEST(VideoPacket, RejectsMalformedBytes) {
  const char* cases[] = {
      "",                                      // nothing
      "00",                                    // flags only
      "00" "00000000000000",                   // timestamp one byte short
      "01" "0000000000000000",                 // keyframe of exactly 9 bytes: no set count
      "01" "0000000000000000" "01",            // one set announced, no length
      "01" "0000000000000000" "01" "00",       // half a length
      "01" "0000000000000000" "01" "0003aabb", // set runs past the end
      "01" "0000000000000000" "02" "0001aa",   // second set missing
      "01" "0000000000000000" "ff" "0000",     // 255 sets announced, one present
  };
  for (const char* wire : cases) {
    SCOPED_TRACE(wire);
    EXPECT_FALSE(VideoPacket::parse(hex(wire)));
  }
}

TEST(VideoPacket, DeltaFrameOfNineBytesHasAnEmptyPayload) {
  auto parsed = VideoPacket::parse(hex("00" "ffffffffffffffff"));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->timestampMicros, 0xffffffffffffffffu);
  EXPECT_TRUE(parsed->avcc.empty());
}

TEST(VideoPacket, RefusesToWriteWhatTheLayoutCannotHold) {
  VideoPacket tooMany{true, VideoCodec::h264, 0, std::vector<Bytes>(256, Bytes{0x67}), {}};
  EXPECT_FALSE(tooMany.isEncodable());
  EXPECT_THROW((void)tooMany.encoded(), std::length_error);

  VideoPacket tooLong{true, VideoCodec::h264, 0, {Bytes(65536, 0x67)}, {}};
  EXPECT_THROW((void)tooLong.encoded(), std::length_error);

  VideoPacket longest{true, VideoCodec::h264, 0, std::vector<Bytes>(255, Bytes(65535, 1)), {}};
  auto parsed = VideoPacket::parse(longest.encoded());
  ASSERT_TRUE(parsed);
  EXPECT_EQ(*parsed, longest);

  // A delta frame does not carry sets, so it writes whatever they are.
  VideoPacket delta{false, VideoCodec::h264, 0, std::vector<Bytes>(300), hex("00000001aa")};
  EXPECT_EQ(delta.encoded().size(), 9u + 5u);
}

}  // namespace
}  // namespace corvel::media
