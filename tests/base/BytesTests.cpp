#include <gtest/gtest.h>

#include "CorvelKit/base/Base64.h"
#include "CorvelKit/base/BigEndian.h"

namespace corvel {
namespace {

TEST(ByteReader, ReadsBigEndianAndRefusesShortInput) {
  Bytes buf;
  ByteWriter w(buf);
  w.u16(0x0102);
  w.u32(0x03040506);
  w.u64(0x0708090A0B0C0D0EULL);
  w.u8(0xFF);
  EXPECT_EQ(hexString(buf), "0102030405060708090a0b0c0d0eff");

  ByteReader r(buf);
  EXPECT_EQ(r.u16(), 0x0102);
  EXPECT_EQ(r.u32(), 0x03040506u);
  EXPECT_EQ(r.u64(), 0x0708090A0B0C0D0EULL);
  EXPECT_FALSE(r.u16().has_value());  // one byte left: nothing is consumed
  EXPECT_EQ(r.remaining(), 1u);
  EXPECT_EQ(r.u8(), 0xFF);
  EXPECT_TRUE(r.atEnd());
  EXPECT_FALSE(r.bytes(1).has_value());
  EXPECT_TRUE(r.bytes(0).has_value());
}

TEST(Base64, RoundTripsAndRejectsMalformedText) {
  struct Case {
    std::string plain, encoded;
  };
  for (const auto& c : std::vector<Case>{{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"},
                                         {"foob", "Zm9vYg=="}, {"\xff\xfe", "//4="}}) {
    EXPECT_EQ(Base64::encode(asBytes(c.plain)), c.encoded);
    auto decoded = Base64::decode(c.encoded);
    ASSERT_TRUE(decoded) << c.encoded;
    EXPECT_EQ(asString(*decoded), c.plain);
  }
  for (std::string bad : {"Zg=", "Zg", "Z===", "Zm9v\n", "Zm-v", "====", "Zg==Zg=="}) {
    EXPECT_FALSE(Base64::decode(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace corvel
