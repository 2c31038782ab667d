#include <gtest/gtest.h>

#include <linux/input-event-codes.h>

#include <set>

#include "Ambrel_Host/input/KeySyms.h"
#include "Ambrel_Host/wayland/EvdevKeyCodes.h"

namespace ambrel {
namespace {

// Every key the injector can post reaches a Wayland compositor as a physical key, and no two keys
// land on the same code (which would make one key type another's character).
TEST(EvdevKeyCodesTest, EveryMappedVirtualKeyHasItsOwnEvdevCode) {
  std::map<std::uint16_t, std::uint32_t> seen;  // evdev code → keysym
  for (std::uint16_t code = 0; code < 128; ++code) {
    const auto keysym = KeySyms::forVirtualKey(code);
    if (!keysym) continue;
    const auto evdev = EvdevKeyCodes::forKeysym(*keysym);
    ASSERT_TRUE(evdev) << "virtual key " << code << " (keysym 0x" << std::hex << *keysym << ")";
    const auto [it, fresh] = seen.emplace(*evdev, *keysym);
    // The two Enter keys of the key map are the same keypad Enter.
    EXPECT_TRUE(fresh || it->second == *keysym) << "keysyms 0x" << std::hex << it->second << " and 0x" << *keysym;
  }
}

TEST(EvdevKeyCodesTest, KnownKeysAndMisses) {
  struct Case {
    std::uint32_t keysym;
    std::optional<std::uint16_t> evdev;
  };
  const Case cases[] = {
      {'a', KEY_A},           {'A', KEY_A},         {'z', KEY_Z},          {'0', KEY_0},
      {'1', KEY_1},           {' ', KEY_SPACE},     {'`', KEY_GRAVE},      {'/', KEY_SLASH},
      {0xff0d, KEY_ENTER},    {0xff1b, KEY_ESC},    {0xffff, KEY_DELETE},  {0xff08, KEY_BACKSPACE},
      {0xff51, KEY_LEFT},     {0xff54, KEY_DOWN},   {0xffbe, KEY_F1},      {0xffd1, KEY_F20},
      {0xffe1, KEY_LEFTSHIFT}, {0xffeb, KEY_LEFTMETA}, {0xffea, KEY_RIGHTALT}, {0xffb0, KEY_KP0},
      {0x1008ff13, KEY_VOLUMEUP},
      // Shifted characters and other keysyms have no key of their own.
      {'!', std::nullopt},    {'~', std::nullopt},  {0xe9, std::nullopt},  {0x10020ac, std::nullopt},
      {0, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EvdevKeyCodes::forKeysym(c.keysym), c.evdev) << "keysym 0x" << std::hex << c.keysym;
  }
}

}  // namespace
}  // namespace ambrel
