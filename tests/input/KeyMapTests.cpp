#include <gtest/gtest.h>

#include "CorvelKit/input/KeyMap.h"

namespace corvel::input {
namespace {

TEST(KeyMap, NamedKeys) {
  EXPECT_EQ(KeyMap::returnKey, 36);
  EXPECT_EQ(KeyMap::tab, 48);
  EXPECT_EQ(KeyMap::backspace, 51);
  EXPECT_EQ(KeyMap::escape, 53);
  EXPECT_EQ(KeyMap::leftArrow, 123);
  EXPECT_EQ(KeyMap::rightArrow, 124);
  EXPECT_EQ(KeyMap::downArrow, 125);
  EXPECT_EQ(KeyMap::upArrow, 126);
}

TEST(KeyMap, HIDTableHoldsEveryUsageOfTheTable) {
  EXPECT_EQ(KeyMap::hidTableSize(), 82u);
  const std::vector<std::pair<int, std::vector<std::uint16_t>>> runs = {
      {4, {0, 11, 8, 2, 14, 3, 5, 4, 34, 38, 40, 37, 46, 45, 31, 35, 12, 15, 1, 17, 32, 9, 13, 7, 16, 6}},
      {30, {18, 19, 20, 21, 23, 22, 26, 28, 25, 29}},
      {40, {36, 53, 51, 48, 49, 27, 24, 33, 30, 42}},
      {51, {41, 39, 50, 43, 47, 44, 57}},
      {58, {122, 120, 99, 118, 96, 97, 98, 100, 101, 109, 103, 111}},
      {74, {115, 116, 117, 119, 121, 124, 123, 125, 126}},
      {224, {59, 56, 58, 55, 62, 60, 61, 54}},
  };
  for (const auto& [first, codes] : runs) {
    for (std::size_t i = 0; i < codes.size(); ++i) {
      int usage = first + static_cast<int>(i);
      EXPECT_EQ(KeyMap::macCode(usage), codes[i]) << "usage " << usage;
    }
  }
}

TEST(KeyMap, UsagesOutsideTheTableAreAbsent) {
  for (int usage : {0, 1, 2, 3, 50, 70, 71, 72, 73, 83, 100, 223, 232, -1, 1000}) {
    EXPECT_EQ(KeyMap::macCode(usage), std::nullopt) << usage;
  }
  EXPECT_EQ(KeyMap::macCode(0x2C), 49);  // space
}

TEST(KeyMap, CharacterTable) {
  EXPECT_EQ(KeyMap::characterTableSize(), 26u + 10u + 12u);
  const std::string letters = "abcdefghijklmnopqrstuvwxyz";
  for (std::size_t i = 0; i < letters.size(); ++i) {
    EXPECT_EQ(KeyMap::macCode(static_cast<char32_t>(letters[i])), KeyMap::macCode(4 + static_cast<int>(i)));
  }
  const std::string digits = "1234567890";
  for (std::size_t i = 0; i < digits.size(); ++i) {
    EXPECT_EQ(KeyMap::macCode(static_cast<char32_t>(digits[i])), KeyMap::macCode(30 + static_cast<int>(i)));
  }
  const std::vector<std::pair<char32_t, std::uint16_t>> punctuation = {
      {U' ', 49}, {U'-', 27}, {U'=', 24}, {U'[', 33}, {U']', 30}, {U'\\', 42},
      {U';', 41}, {U'\'', 39}, {U'`', 50}, {U',', 43}, {U'.', 47}, {U'/', 44}};
  for (auto [c, code] : punctuation) EXPECT_EQ(KeyMap::macCode(c), code);
}

TEST(KeyMap, CharactersAreLowerCasedAndOnlyUnshiftedOnesAreThere) {
  EXPECT_EQ(KeyMap::macCode(U'A'), 0);
  EXPECT_EQ(KeyMap::macCode("A"), 0);
  EXPECT_EQ(KeyMap::macCode(U'Z'), 6);
  EXPECT_EQ(KeyMap::macCode(U'\u212A'), 40);  // the Kelvin sign lower-cases to k
  EXPECT_EQ(KeyMap::macCode(U'?'), std::nullopt);
  EXPECT_EQ(KeyMap::macCode("?"), std::nullopt);
  EXPECT_EQ(KeyMap::macCode(" "), 49);
  EXPECT_EQ(KeyMap::macCode(U'é'), std::nullopt);
  EXPECT_EQ(KeyMap::macCode(""), std::nullopt);
  EXPECT_EQ(KeyMap::macCode("a\u0301"), std::nullopt);  // one character, two code points
  EXPECT_EQ(KeyMap::macCode("\xff"), std::nullopt);
}

}  // namespace
}  // namespace corvel::input
