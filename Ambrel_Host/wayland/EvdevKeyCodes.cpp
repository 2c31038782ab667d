#include "Ambrel_Host/wayland/EvdevKeyCodes.h"

#include <linux/input-event-codes.h>

#include <algorithm>
#include <array>
#include <utility>

namespace ambrel {

namespace {

// Keysym → evdev code, sorted by keysym for a binary search.
constexpr auto kTable = [] {
  std::array<std::pair<std::uint32_t, std::uint16_t>, 113> t{{
      {0x0020, KEY_SPACE},      {0x0027, KEY_APOSTROPHE}, {0x002c, KEY_COMMA},     {0x002d, KEY_MINUS},
      {0x002e, KEY_DOT},        {0x002f, KEY_SLASH},      {0x0030, KEY_0},         {0x0031, KEY_1},
      {0x0032, KEY_2},          {0x0033, KEY_3},          {0x0034, KEY_4},         {0x0035, KEY_5},
      {0x0036, KEY_6},          {0x0037, KEY_7},          {0x0038, KEY_8},         {0x0039, KEY_9},
      {0x003b, KEY_SEMICOLON},  {0x003d, KEY_EQUAL},      {0x005b, KEY_LEFTBRACE}, {0x005c, KEY_BACKSLASH},
      {0x005d, KEY_RIGHTBRACE}, {0x0060, KEY_GRAVE},      {0x0061, KEY_A},         {0x0062, KEY_B},
      {0x0063, KEY_C},          {0x0064, KEY_D},          {0x0065, KEY_E},         {0x0066, KEY_F},
      {0x0067, KEY_G},          {0x0068, KEY_H},          {0x0069, KEY_I},         {0x006a, KEY_J},
      {0x006b, KEY_K},          {0x006c, KEY_L},          {0x006d, KEY_M},         {0x006e, KEY_N},
      {0x006f, KEY_O},          {0x0070, KEY_P},          {0x0071, KEY_Q},         {0x0072, KEY_R},
      {0x0073, KEY_S},          {0x0074, KEY_T},          {0x0075, KEY_U},         {0x0076, KEY_V},
      {0x0077, KEY_W},          {0x0078, KEY_X},          {0x0079, KEY_Y},         {0x007a, KEY_Z},
      {0xff08, KEY_BACKSPACE},  {0xff09, KEY_TAB},        {0xff0b, KEY_CLEAR},     {0xff0d, KEY_ENTER},
      {0xff1b, KEY_ESC},        {0xff50, KEY_HOME},       {0xff51, KEY_LEFT},      {0xff52, KEY_UP},
      {0xff53, KEY_RIGHT},      {0xff54, KEY_DOWN},       {0xff55, KEY_PAGEUP},    {0xff56, KEY_PAGEDOWN},
      {0xff57, KEY_END},        {0xff63, KEY_INSERT},     {0xff67, KEY_COMPOSE},   {0xff8d, KEY_KPENTER},
      {0xffaa, KEY_KPASTERISK}, {0xffab, KEY_KPPLUS},     {0xffad, KEY_KPMINUS},   {0xffae, KEY_KPDOT},
      {0xffaf, KEY_KPSLASH},    {0xffb0, KEY_KP0},        {0xffb1, KEY_KP1},       {0xffb2, KEY_KP2},
      {0xffb3, KEY_KP3},        {0xffb4, KEY_KP4},        {0xffb5, KEY_KP5},       {0xffb6, KEY_KP6},
      {0xffb7, KEY_KP7},        {0xffb8, KEY_KP8},        {0xffb9, KEY_KP9},       {0xffbd, KEY_KPEQUAL},
      {0xffbe, KEY_F1},         {0xffbf, KEY_F2},         {0xffc0, KEY_F3},        {0xffc1, KEY_F4},
      {0xffc2, KEY_F5},         {0xffc3, KEY_F6},         {0xffc4, KEY_F7},        {0xffc5, KEY_F8},
      {0xffc6, KEY_F9},         {0xffc7, KEY_F10},        {0xffc8, KEY_F11},       {0xffc9, KEY_F12},
      {0xffca, KEY_F13},        {0xffcb, KEY_F14},        {0xffcc, KEY_F15},       {0xffcd, KEY_F16},
      {0xffce, KEY_F17},        {0xffcf, KEY_F18},        {0xffd0, KEY_F19},       {0xffd1, KEY_F20},
      {0xffe1, KEY_LEFTSHIFT},  {0xffe2, KEY_RIGHTSHIFT}, {0xffe3, KEY_LEFTCTRL},  {0xffe4, KEY_RIGHTCTRL},
      {0xffe5, KEY_CAPSLOCK},   {0xffe9, KEY_LEFTALT},    {0xffea, KEY_RIGHTALT},  {0xffeb, KEY_LEFTMETA},
      {0xffec, KEY_RIGHTMETA},  {0xffff, KEY_DELETE},
      // XF86AudioLowerVolume, Mute, RaiseVolume.
      {0x1008ff11, KEY_VOLUMEDOWN}, {0x1008ff12, KEY_MUTE}, {0x1008ff13, KEY_VOLUMEUP},
  }};
  return t;
}();

static_assert(std::is_sorted(kTable.begin(), kTable.end()));

}  // namespace

std::optional<std::uint16_t> EvdevKeyCodes::forKeysym(std::uint32_t keysym) {
  // Upper-case Latin letters sit on the same key as their lower case.
  if (keysym >= 0x41 && keysym <= 0x5a) keysym += 0x20;
  const auto found = std::lower_bound(kTable.begin(), kTable.end(), keysym,
                                      [](const auto& entry, std::uint32_t k) { return entry.first < k; });
  if (found == kTable.end() || found->first != keysym) return std::nullopt;
  return found->second;
}

}  // namespace ambrel
