#include <gtest/gtest.h>

#include <fstream>

#include <X11/XF86keysym.h>
#include <X11/keysym.h>

#include "Ambrel_Host/input/ClickCounter.h"
#include "Ambrel_Host/input/DoubleClickInterval.h"
#include "Ambrel_Host/input/KeySyms.h"
#include "Ambrel_Host/input/ScrollAccumulator.h"
#include "tests/support/TemporaryFolder.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;

// ---- Key symbols -------------------------------------------------------------------------------

TEST(KeySyms, USLayoutOfVirtualKeyCodes) {
  const std::vector<std::pair<std::uint16_t, std::uint32_t>> table = {
      {0, XK_a},           {11, XK_b},          {8, XK_c},           {6, XK_z},
      {29, XK_0},          {18, XK_1},          {25, XK_9},          {27, XK_minus},
      {24, XK_equal},      {33, XK_bracketleft}, {30, XK_bracketright}, {42, XK_backslash},
      {41, XK_semicolon},  {39, XK_apostrophe}, {50, XK_grave},      {43, XK_comma},
      {47, XK_period},     {44, XK_slash},      {36, XK_Return},     {48, XK_Tab},
      {49, XK_space},      {51, XK_BackSpace},  {53, XK_Escape},     {117, XK_Delete},
      {115, XK_Home},      {119, XK_End},       {116, XK_Page_Up},   {121, XK_Page_Down},
      {123, XK_Left},      {124, XK_Right},     {125, XK_Down},      {126, XK_Up},
      {122, XK_F1},        {120, XK_F2},        {99, XK_F3},         {118, XK_F4},
      {96, XK_F5},         {97, XK_F6},         {98, XK_F7},         {100, XK_F8},
      {101, XK_F9},        {109, XK_F10},       {103, XK_F11},       {111, XK_F12},
      {105, XK_F13},       {107, XK_F14},       {113, XK_F15},       {106, XK_F16},
      {64, XK_F17},        {79, XK_F18},        {80, XK_F19},        {90, XK_F20},
      {82, XK_KP_0},       {83, XK_KP_1},       {89, XK_KP_7},       {91, XK_KP_8},
      {92, XK_KP_9},       {65, XK_KP_Decimal}, {67, XK_KP_Multiply}, {69, XK_KP_Add},
      {75, XK_KP_Divide},  {78, XK_KP_Subtract}, {81, XK_KP_Equal},  {76, XK_KP_Enter},
      {71, XK_Clear},      {114, XK_Insert},    {110, XK_Menu},
      {72, XF86XK_AudioRaiseVolume}, {73, XF86XK_AudioLowerVolume}, {74, XF86XK_AudioMute},
      {55, XK_Super_L},    {54, XK_Super_R},    {56, XK_Shift_L},    {60, XK_Shift_R},
      {58, XK_Alt_L},      {61, XK_Alt_R},      {59, XK_Control_L},  {62, XK_Control_R},
      {57, XK_Caps_Lock},
  };
  for (auto [code, keysym] : table) EXPECT_EQ(KeySyms::forVirtualKey(code), keysym) << code;
}

TEST(KeySyms, EveryLetterAndDigitOfTheUSLayout) {
  const std::string letters = "asdfhgzxcv bqweryt123465=97-80]ou[ip lj'k;\\,/nm.";
  // Codes 0–47 in order, with a blank where the code is no letter (10 and 36 here).
  for (std::size_t code = 0; code < letters.size(); ++code) {
    if (letters[code] == ' ') continue;
    EXPECT_EQ(KeySyms::forVirtualKey(static_cast<std::uint16_t>(code)),
              static_cast<std::uint32_t>(letters[code]))
        << code;
  }
}

TEST(KeySyms, CodesOffTheUSKeyboardHaveNone) {
  for (std::uint16_t code : {10, 63, 66, 68, 70, 77, 93, 94, 95, 102, 104, 108, 112, 127, 128, 1000, 65535}) {
    EXPECT_EQ(KeySyms::forVirtualKey(code), std::nullopt) << code;
  }
}

TEST(KeySyms, Characters) {
  EXPECT_EQ(KeySyms::forCharacter(U'a'), XK_a);
  EXPECT_EQ(KeySyms::forCharacter(U'~'), XK_asciitilde);
  EXPECT_EQ(KeySyms::forCharacter(U'é'), XK_eacute);
  EXPECT_EQ(KeySyms::forCharacter(U'\u00a0'), XK_nobreakspace);
  EXPECT_EQ(KeySyms::forCharacter(U'€'), 0x10020ACu);
  EXPECT_EQ(KeySyms::forCharacter(U'\U0001F600'), 0x101F600u);
  EXPECT_EQ(KeySyms::forCharacter(U'\n'), XK_Return);
  EXPECT_EQ(KeySyms::forCharacter(U'\r'), XK_Return);
  EXPECT_EQ(KeySyms::forCharacter(U'\t'), XK_Tab);
  EXPECT_EQ(KeySyms::forCharacter(U'\b'), XK_BackSpace);
  for (char32_t c : {U'\0', U'\x1b', U'\x7f', U'\x85', char32_t{0xD800}, char32_t{0x110000}}) {
    EXPECT_EQ(KeySyms::forCharacter(c), std::nullopt) << static_cast<unsigned>(c);
  }
}

// ---- Wheel steps -------------------------------------------------------------------------------

TEST(ScrollAccumulator, FirstStepAtHalfThenEveryFullStep) {
  ScrollAccumulator wheel;
  EXPECT_EQ(wheel.add(24), 0);
  EXPECT_EQ(wheel.add(1), 1);  // 25 rounds up
  EXPECT_EQ(wheel.add(49), 0);  // -25 + 49 = 24
  EXPECT_EQ(wheel.add(1), 1);
  EXPECT_EQ(wheel.add(500), 10);
  EXPECT_DOUBLE_EQ(wheel.remainder(), -25);
}

TEST(ScrollAccumulator, TurningBackDropsTheRemainder) {
  ScrollAccumulator wheel;
  EXPECT_EQ(wheel.add(20), 0);
  EXPECT_EQ(wheel.add(-30), -1);
  EXPECT_EQ(wheel.add(40), 1);
  EXPECT_EQ(wheel.add(0), 0);
  EXPECT_EQ(wheel.add(std::numeric_limits<double>::quiet_NaN()), 0);
  wheel.reset();
  EXPECT_DOUBLE_EQ(wheel.remainder(), 0);
}

TEST(ScrollAccumulator, StepsPerEventAreCapped) {
  ScrollAccumulator wheel;
  EXPECT_EQ(wheel.add(1e9), ScrollAccumulator::maxStepsPerEvent);
  EXPECT_DOUBLE_EQ(wheel.remainder(), 0);
  EXPECT_EQ(wheel.add(-1e300), -ScrollAccumulator::maxStepsPerEvent);
  EXPECT_EQ(wheel.add(64 * 50), 64);
}

// ---- Click counting ----------------------------------------------------------------------------

TEST(ClickCounter, CountsLikeTheDesktop) {
  using corvel::protocol::MouseButton;
  ClickCounter clicks(400ms);
  corvel::Clock::TimePoint t{};
  EXPECT_EQ(clicks.releaseCount(), 1);
  EXPECT_EQ(clicks.press(MouseButton::left, {10, 10}, t), 1);
  EXPECT_EQ(clicks.press(MouseButton::left, {15, 13}, t + 399ms), 2);  // 5.8 points away
  EXPECT_EQ(clicks.releaseCount(), 2);
  EXPECT_EQ(clicks.press(MouseButton::left, {15, 13}, t + 798ms), 3);
  EXPECT_EQ(clicks.press(MouseButton::left, {15, 13}, t + 1198ms), 1);  // exactly the interval
  EXPECT_EQ(clicks.press(MouseButton::left, {21, 13}, t + 1200ms), 1);  // 6 points
  EXPECT_EQ(clicks.press(MouseButton::middle, {21, 13}, t + 1201ms), 1);
}

// ---- Double-click interval ---------------------------------------------------------------------

TEST(DoubleClickInterval, ParsesMilliseconds) {
  EXPECT_EQ(DoubleClickInterval::parseMilliseconds("400"), 400ms);
  EXPECT_EQ(DoubleClickInterval::parseMilliseconds(" 250\t"), 250ms);
  for (auto bad : {"", "abc", "400ms", "-400", "49", "5001", "4e2", "99999999999999999999"}) {
    EXPECT_EQ(DoubleClickInterval::parseMilliseconds(bad), std::nullopt) << bad;
  }
}

TEST(DoubleClickInterval, XResourceThenGtkThenHalfASecond) {
  corvel::test::TemporaryFolder folder;
  auto user = folder.path() / "user.ini";
  auto system = folder.path() / "system.ini";
  std::ofstream(user) << "# comment\n[Other]\ngtk-double-click-time=999\n[Settings]\ngtk-theme-name = Adwaita\n";
  std::ofstream(system) << "[Settings]\n  gtk-double-click-time = 320  \n";
  auto missing = folder.path() / "missing.ini";

  EXPECT_EQ(DoubleClickInterval::fromGtkSettings({missing, user, system}), 320ms);
  EXPECT_EQ(DoubleClickInterval::choose("250", {user, system}), 250ms);
  EXPECT_EQ(DoubleClickInterval::choose("nonsense", {user, system}), 320ms);
  EXPECT_EQ(DoubleClickInterval::choose(std::nullopt, {system}), 320ms);
  EXPECT_EQ(DoubleClickInterval::choose(std::nullopt, {user, missing}), 500ms);

  std::ofstream(user) << "[Settings]\ngtk-double-click-time=410\n";
  EXPECT_EQ(DoubleClickInterval::choose(std::nullopt, {user, system}), 410ms);
}

TEST(DoubleClickInterval, GtkFilesFollowXDG) {
  setenv("XDG_CONFIG_HOME", "/cfg", 1);
  setenv("XDG_CONFIG_DIRS", "/a:relative:/b", 1);
  auto files = DoubleClickInterval::gtkSettingsFiles();
  std::vector<std::filesystem::path> expected = {
      "/cfg/gtk-3.0/settings.ini", "/cfg/gtk-4.0/settings.ini", "/a/gtk-3.0/settings.ini",
      "/a/gtk-4.0/settings.ini",   "/b/gtk-3.0/settings.ini",   "/b/gtk-4.0/settings.ini",
      "/etc/gtk-3.0/settings.ini"};
  EXPECT_EQ(files, expected);
  unsetenv("XDG_CONFIG_HOME");
  unsetenv("XDG_CONFIG_DIRS");
}

}  // namespace
}  // namespace ambrel
