#include <gtest/gtest.h>

#include <string>
#include <unordered_set>
#include <vector>

#include "CorvelKit/base/UUID.h"

namespace corvel {
namespace {

TEST(UUID, ParsesCanonicalTextInEitherCaseAndWritesUpperCase) {
  const std::string canonical = "0123ABCD-4567-89EF-A0B1-C2D3E4F5A6B7";
  for (const std::string& text :
       {canonical, std::string("0123abcd-4567-89ef-a0b1-c2d3e4f5a6b7"),
        std::string("0123AbCd-4567-89eF-A0b1-c2D3E4F5a6B7")}) {
    auto id = UUID::parse(text);
    ASSERT_TRUE(id) << text;
    EXPECT_EQ(id->string(), canonical);
    EXPECT_EQ(hexString(id->bytes()), "0123abcd456789efa0b1c2d3e4f5a6b7");
  }
}

TEST(UUID, RefusesTextThatIsNotCanonical) {
  for (const char* text : {
           "",
           "0123ABCD-4567-89EF-A0B1-C2D3E4F5A6B",     // one digit short
           "0123ABCD-4567-89EF-A0B1-C2D3E4F5A6B70",   // one digit long
           "{0123ABCD-4567-89EF-A0B1-C2D3E4F5A6B7}",  // braces
           "0123ABCD4567-89EF-A0B1-C2D3E4F5A6B7-",    // hyphen moved to the end
           "0123ABC-D4567-89EF-A0B1-C2D3E4F5A6B7",    // hyphen one place early
           "0123ABCD-4567-89EF-A0B1-C2D3E4F5A6BG",    // not hexadecimal
           "0123ABCD-4567-89EF-A0B1+C2D3E4F5A6B7",    // wrong separator
           "0123ABCD 4567 89EF A0B1 C2D3E4F5A6B7",
           "0123ABCD-4567-89EF-A0B1--2D3E4F5A6B7",    // hyphen where a digit belongs
       }) {
    EXPECT_FALSE(UUID::parse(text)) << text;
  }
}

TEST(UUID, RandomIsVersion4AndRoundTripsThroughBytesAndText) {
  std::unordered_set<UUID> seen;
  for (int i = 0; i < 100; ++i) {
    UUID id = UUID::random();
    EXPECT_EQ(id.raw()[6] >> 4, 4);
    EXPECT_EQ(id.raw()[8] >> 6, 2);
    EXPECT_EQ(UUID::parse(id.string()), id);
    EXPECT_EQ(UUID::fromBytes(id.bytes()), id);
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 100u);
}

TEST(UUID, FromBytesNeedsExactlySixteen) {
  std::vector<std::uint8_t> bytes(17, 0xAB);
  EXPECT_FALSE(UUID::fromBytes(ByteView(bytes).first(15)));
  EXPECT_FALSE(UUID::fromBytes(bytes));
  auto id = UUID::fromBytes(ByteView(bytes).first(16));
  ASSERT_TRUE(id);
  EXPECT_EQ(id->string(), "ABABABAB-ABAB-ABAB-ABAB-ABABABABABAB");
  EXPECT_TRUE(UUID().isNil());
  EXPECT_LT(UUID(), *id);
}

}  // namespace
}  // namespace corvel
