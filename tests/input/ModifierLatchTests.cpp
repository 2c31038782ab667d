#include <gtest/gtest.h>

#include <vector>

#include "CorvelKit/input/ModifierKeys.h"
#include "CorvelKit/input/ModifierLatch.h"

namespace corvel::input {
namespace {

using protocol::ModifierBits;

std::vector<std::uint16_t> codes(VirtualKeyList list) { return {list.begin(), list.end()}; }

TEST(ModifierKeys, FlagOfEachKey) {
  const std::vector<std::pair<std::uint16_t, std::uint64_t>> table = {
      {54, 0x100000}, {55, 0x100000}, {56, 0x20000}, {58, 0x80000}, {59, 0x40000},
      {60, 0x20000},  {61, 0x80000},  {62, 0x40000}, {63, 0x800000}};
  for (auto [code, flag] : table) EXPECT_EQ(ModifierKeys::forVirtualKey(code), flag) << code;
  EXPECT_EQ(ModifierKeys::forVirtualKey(57), std::nullopt);  // Caps Lock is apart
  for (std::uint16_t code : {0, 12, 53, 64, 65535}) EXPECT_EQ(ModifierKeys::forVirtualKey(code), std::nullopt);
}

TEST(ModifierKeys, KeysToPressForFlagsInOrder) {
  EXPECT_TRUE(ModifierKeys::virtualKeyCodes(0).empty());
  EXPECT_EQ(codes(ModifierKeys::virtualKeyCodes(ModifierBits::all)), (std::vector<std::uint16_t>{59, 58, 56, 55}));
  EXPECT_EQ(codes(ModifierKeys::virtualKeyCodes(0x140000)), (std::vector<std::uint16_t>{59, 55}));
  EXPECT_EQ(codes(ModifierKeys::virtualKeyCodes(ModifierBits::shift | ModifierBits::option)),
            (std::vector<std::uint16_t>{58, 56}));
  // Function and Caps Lock are never produced.
  EXPECT_TRUE(ModifierKeys::virtualKeyCodes(ModifierBits::function | ModifierBits::capsLock).empty());
}

TEST(ModifierLatch, ShiftThenALetter) {
  ModifierLatch latch;
  EXPECT_EQ(latch.apply(56, true, 0x20000), 0x20000u);
  EXPECT_EQ(latch.apply(0, true, 0x20000), 0x20000u);
  EXPECT_EQ(latch.flags(), 0x20000u);
  EXPECT_EQ(latch.apply(0, false, 0x20000), 0x20000u);
  EXPECT_EQ(latch.apply(56, false, 0), 0u);
  EXPECT_TRUE(latch.heldKeyCodes().empty());
}

TEST(ModifierLatch, BothShiftsKeepTheBitUntilTheLastGoesUp) {
  ModifierLatch latch;
  latch.apply(56, true, 0);
  latch.apply(60, true, 0);
  EXPECT_EQ(latch.apply(56, false, 0), 0x20000u);
  EXPECT_EQ(latch.heldKeyCodes(), (std::set<std::uint16_t>{60}));
  EXPECT_EQ(latch.apply(60, false, 0), 0u);
}

TEST(ModifierLatch, FlagsComeFromHeldKeysNotFromTheClient) {
  ModifierLatch latch;
  // The client claims command, but no command key went down.
  EXPECT_EQ(latch.apply(12, true, 0x140000), 0u);
  EXPECT_EQ(latch.apply(59, true, 0), 0x40000u);
  EXPECT_EQ(latch.apply(55, true, 0), 0x140000u);
  EXPECT_EQ(latch.apply(63, true, 0), 0x940000u);
}

TEST(ModifierLatch, FnYieldsTheFunctionBit) {
  ModifierLatch latch;
  EXPECT_EQ(latch.apply(63, true, 0), 0x800000u);
}

TEST(ModifierLatch, CapsLockFollowsTheClientsBitAndSurvivesOtherModifiers) {
  ModifierLatch latch;
  EXPECT_EQ(latch.apply(57, true, 0x10000 | 0x20000), 0x10000u);  // only the alpha-shift bit taken
  EXPECT_TRUE(latch.heldKeyCodes().empty());
  EXPECT_EQ(latch.apply(56, true, 0), 0x30000u);
  EXPECT_EQ(latch.apply(56, false, 0), 0x10000u);
  EXPECT_EQ(latch.apply(57, false, 0x10000), 0x10000u);
  EXPECT_EQ(latch.apply(0, true, 0), 0x10000u);
  EXPECT_EQ(latch.apply(57, true, 0), 0u);
}

TEST(ModifierLatch, EqualityAndReset) {
  ModifierLatch a, b;
  EXPECT_EQ(a, b);
  a.apply(56, true, 0);
  EXPECT_NE(a, b);
  a.apply(56, false, 0);
  EXPECT_EQ(a, b);
  a.apply(58, true, 0);
  a = {};
  EXPECT_EQ(a, ModifierLatch{});
}

}  // namespace
}  // namespace corvel::input
