#include <gtest/gtest.h>

#include "CorvelKit/base/Unicode.h"

namespace corvel::unicode {
namespace {

TEST(Unicode, DecodesUTF8) {
  EXPECT_EQ(decodeUTF8("a\u00e9\u20ac\U0001F600"), U"a\u00e9\u20ac\U0001F600");
  EXPECT_EQ(decodeUTF8(""), U"");
}

TEST(Unicode, MalformedUTF8BecomesReplacementCharacters) {
  EXPECT_EQ(decodeUTF8("\xff" "a"), U"\uFFFDa");
  EXPECT_EQ(decodeUTF8("\xe2\x82"), U"\uFFFD");          // truncated
  EXPECT_EQ(decodeUTF8("\xc0\xaf"), U"\uFFFD\uFFFD");    // C0 is never a lead byte
  EXPECT_EQ(decodeUTF8("\xe0\x80\xaf"), U"\uFFFD");      // over-long
  EXPECT_EQ(decodeUTF8("\xed\xa0\x80"), U"\uFFFD");      // an encoded surrogate
  EXPECT_EQ(decodeUTF8("\xf4\x90\x80\x80"), U"\uFFFD");  // past U+10FFFF
  EXPECT_EQ(decodeUTF8("\xe2\x82z"), U"\uFFFDz");
}

TEST(Unicode, EncodesUTF8AndCountsUTF16Units) {
  EXPECT_EQ(encodeUTF8(U"a\u00e9\u20ac\U0001F600"), "a\u00e9\u20ac\U0001F600");
  EXPECT_EQ(encodeUTF8(std::u32string(1, char32_t{0xD800})), "\uFFFD");
  EXPECT_EQ(utf16Length(U'a'), 1u);
  EXPECT_EQ(utf16Length(U'\uFFFF'), 1u);
  EXPECT_EQ(utf16Length(U'\U00010000'), 2u);
}

}  // namespace
}  // namespace corvel::unicode
