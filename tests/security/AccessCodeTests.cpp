#include <set>
#include <string>

#include <gtest/gtest.h>

#include "CorvelKit/base/Base64.h"
#include "CorvelKit/security/AccessCode.h"
#include "CorvelKit/security/AccessKeyCache.h"
#include "CorvelKit/security/AuthToken.h"

namespace corvel::security {
namespace {

TEST(AccessCode, GeneratesFourGroupsOfThreeFromTheAlphabet) {
  std::set<std::string> seen;
  std::array<int, 32> counts{};
  for (int i = 0; i < 400; ++i) {
    const std::string code = AccessCode::generate();
    ASSERT_EQ(code.size(), 15u) << code;
    for (std::size_t j = 0; j < code.size(); ++j) {
      if (j % 4 == 3) {
        EXPECT_EQ(code[j], '-') << code;
      } else {
        auto at = AccessCode::alphabet.find(code[j]);
        ASSERT_NE(at, std::string_view::npos) << code;
        ++counts[at];
      }
    }
    EXPECT_EQ(AccessCode::format(code), code);
    seen.insert(code);
  }
  EXPECT_EQ(seen.size(), 400u);
  // 4,800 picks over 32 characters: 150 expected each; a biased or stuck pick falls far outside.
  for (int c : counts) {
    EXPECT_GT(c, 80);
    EXPECT_LT(c, 230);
  }
}

TEST(AccessCode, NormalizesAndFormats) {
  struct Case {
    std::string input, normalized, formatted;
  };
  const Case cases[] = {
      {"ABC-DEF-GHJ-KLM", "ABCDEFGHJKLM", "ABC-DEF-GHJ-KLM"},
      {"abc def\tghj-k-l-m\n", "ABCDEFGHJKLM", "ABC-DEF-GHJ-KLM"},
      {" a\u00A0b\u2003c--", "ABC", "ABC"},
      {"abcdefg", "ABCDEFG", "ABC-DEF-G"},  // 7 characters: 3, 3 and 1
      {"ab", "AB", "AB"},
      {"", "", ""},
      {"- \t", "", ""},
      {"ioio01", "IOIO01", "IOI-O01"},  // neither alphabet nor length is checked
      {"éabcd", "éABCD", "éAB-CD"},     // a non-ASCII character counts once and is kept as is
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AccessCode::normalize(c.input), c.normalized) << c.input;
    EXPECT_EQ(AccessCode::format(c.input), c.formatted) << c.input;
  }
}

TEST(AccessCode, KeyIsDerivedOnceAndThenServedFromTheCache) {
  auto& cache = AccessKeyCache::shared();
  cache.removeAll();

  // Known answer for "ABCDEFGHJKLM" (PBKDF2-HMAC-SHA-256, "corvel.psk.v2", 600,000 iterations).
  const std::string expected = "d4a402f6755d8b5effd675a7d331543bd43756a0dadf5591bb6e2c7c68b4006b";
  EXPECT_EQ(hexString(AccessCode::key("abc def-ghjklm")), expected);
  EXPECT_EQ(cache.count(), 1u);
  ASSERT_TRUE(cache.key("ABCDEFGHJKLM"));
  EXPECT_EQ(hexString(*cache.key("ABCDEFGHJKLM")), expected);

  // Whatever is cached under the normalised code is what every spelling of it gets.
  const Bytes marker(32, 0xA5);
  cache.store(SecretBytes(marker), "ABCDEFGHJKLM");
  EXPECT_EQ(AccessCode::key("ABC-DEF-GHJ-KLM").view().size(), 32u);
  EXPECT_TRUE(std::ranges::equal(AccessCode::key("ABC-DEF-GHJ-KLM").view(), marker));
  EXPECT_TRUE(std::ranges::equal(AccessCode::key("abcdefghjklm").view(), marker));
  cache.removeAll();
}

TEST(AccessKeyCache, EmptiesItselfBeforeTheTenthCode) {
  AccessKeyCache cache;
  for (int i = 0; i < 9; ++i) {
    cache.store(SecretBytes(Bytes(32, static_cast<std::uint8_t>(i))), "CODE" + std::to_string(i));
  }
  EXPECT_EQ(cache.count(), 9u);
  EXPECT_TRUE(cache.key("CODE0"));
  EXPECT_FALSE(cache.key("CODE9"));

  cache.store(SecretBytes(Bytes(32, 9)), "CODE9");
  EXPECT_EQ(cache.count(), 1u);
  EXPECT_FALSE(cache.key("CODE0"));
  ASSERT_TRUE(cache.key("CODE9"));
  EXPECT_EQ(cache.key("CODE9")->view()[0], 9);
}

TEST(AuthToken, IsFortyFourCharactersOfBase64AndComparesExactly) {
  const std::string a = AuthToken::generate();
  const std::string b = AuthToken::generate();
  EXPECT_EQ(a.size(), 44u);
  auto decoded = Base64::decode(a);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->size(), 32u);
  EXPECT_NE(a, b);

  struct Case {
    std::string x, y;
    bool match;
  };
  const Case cases[] = {
      {a, a, true},
      {a, b, false},
      {"", "", false},  // an empty token proves nothing
      {"", a, false},
      {a, "", false},
      {"abc", "abcd", false},  // a shared prefix is not enough
      {"abcd", "abce", false},
      {"xbcd", "abcd", false},
  };
  for (const auto& c : cases) EXPECT_EQ(AuthToken::matches(c.x, c.y), c.match) << c.x << " " << c.y;
}

}  // namespace
}  // namespace corvel::security
