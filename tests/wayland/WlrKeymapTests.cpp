#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdint>
#include <vector>

#include "Ambrel_Host/wayland/WlrKeymap.h"

namespace ambrel {
namespace {

// The keysyms a key of the compiled keymap carries at its base level.
std::vector<std::uint32_t> baseSyms(const WlrKeymap& map, std::uint32_t keycode) {
  const xkb_keysym_t* syms = nullptr;
  const int count = xkb_keymap_key_get_syms_by_level(map.keymap(), keycode, 0, 0, &syms);
  return count > 0 ? std::vector<std::uint32_t>(syms, syms + count) : std::vector<std::uint32_t>{};
}

TEST(WlrKeymap, FindsTheKeysOfTheUSLayout) {
  auto map = WlrKeymap::create("us");
  ASSERT_TRUE(map) << map.error();
  struct Case {
    std::uint32_t keysym;
    WlrKeymap::Key key;
  };
  // XKB keycodes: evdev + 8.
  const Case cases[] = {
      {XKB_KEY_a, {38, 0}},      {XKB_KEY_A, {38, 1}},       {XKB_KEY_1, {10, 0}},
      {XKB_KEY_exclam, {10, 1}}, {XKB_KEY_Return, {36, 0}},  {XKB_KEY_Shift_L, {50, 0}},
      {XKB_KEY_space, {65, 0}},  {XKB_KEY_Super_L, {133, 0}},
  };
  for (const auto& c : cases) {
    auto key = map->find(c.keysym);
    ASSERT_TRUE(key) << std::hex << c.keysym;
    EXPECT_EQ(*key, c.key) << std::hex << c.keysym;
  }
  EXPECT_FALSE(map->find(XKB_KEY_EuroSign));
  EXPECT_GT(map->spareCount(), 0u);
}

TEST(WlrKeymap, SpareKeysTakeCharactersTheLayoutLacks) {
  auto map = WlrKeymap::create("us", 4);
  ASSERT_TRUE(map) << map.error();
  const std::uint32_t emoji = 0x0100'0000 + 0x1F600;
  const std::uint32_t text[] = {XKB_KEY_EuroSign, XKB_KEY_a, emoji, XKB_KEY_EuroSign};
  const auto before = map->text();
  EXPECT_TRUE(map->assign(text));
  EXPECT_NE(map->text(), before);
  for (std::uint32_t keysym : {std::uint32_t{XKB_KEY_EuroSign}, emoji}) {
    auto key = map->find(keysym);
    ASSERT_TRUE(key) << std::hex << keysym;
    EXPECT_EQ(key->level, 0);
    EXPECT_LE(key->keycode, 255u) << "X clients see keycodes up to 255";
    EXPECT_EQ(baseSyms(*map, key->keycode), std::vector<std::uint32_t>{keysym});
  }
  // Letters stay where they were; the same characters again change nothing.
  EXPECT_EQ(map->find(XKB_KEY_a), (WlrKeymap::Key{38, 0}));
  const auto sent = map->text();
  EXPECT_FALSE(map->assign(text));
  EXPECT_EQ(map->text(), sent);
  // The text is a keymap xkbcommon reads back as it is.
  xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  xkb_keymap* reread =
      xkb_keymap_new_from_string(context, map->text().c_str(), XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
  EXPECT_NE(reread, nullptr);
  xkb_keymap_unref(reread);
  xkb_context_unref(context);
}

TEST(WlrKeymap, SparesAreReusedLeastRecentlyUsedFirstButNotWhileHeld) {
  auto map = WlrKeymap::create("us", 2);
  ASSERT_TRUE(map) << map.error();
  ASSERT_EQ(map->spareCount(), 2u);
  const std::uint32_t euro[] = {XKB_KEY_EuroSign};
  const std::uint32_t yen[] = {XKB_KEY_yen};
  const std::uint32_t pound[] = {XKB_KEY_sterling};
  ASSERT_TRUE(map->assign(euro));
  ASSERT_TRUE(map->assign(yen));
  const auto euroKey = map->find(XKB_KEY_EuroSign)->keycode;
  const auto yenKey = map->find(XKB_KEY_yen)->keycode;
  EXPECT_NE(euroKey, yenKey);

  // The euro's key is the older one, but it is held down: the yen's key goes instead.
  EXPECT_TRUE(map->assign(pound, {euroKey}));
  EXPECT_EQ(map->find(XKB_KEY_sterling)->keycode, yenKey);
  EXPECT_FALSE(map->find(XKB_KEY_yen));
  EXPECT_TRUE(map->find(XKB_KEY_EuroSign));

  // More new characters in one go than there are spares: the ones that fit get keys, and none
  // takes a key another of the same text just got.
  const std::uint32_t three[] = {XKB_KEY_yen, XKB_KEY_cent, XKB_KEY_section};
  EXPECT_TRUE(map->assign(three));
  EXPECT_TRUE(map->find(XKB_KEY_yen));
  EXPECT_TRUE(map->find(XKB_KEY_cent));
  EXPECT_FALSE(map->find(XKB_KEY_section));
}

}  // namespace
}  // namespace ambrel
