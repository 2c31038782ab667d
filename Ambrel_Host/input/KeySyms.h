#pragma once

#include <cstdint>
#include <optional>

namespace ambrel {

// X keysyms for what remote input names: virtual key codes of a US keyboard, and characters.
struct KeySyms {
  // The keysym of a virtual key code: letters, digits and punctuation by their unshifted US
  // character, the function keys F1–F20, arrows, Home/End/Page keys, forward delete, the keypad,
  // the volume keys and the modifiers (Command → Super, Option → Alt, Control → Control). None for
  // codes that are not on a US keyboard (the ISO and JIS keys) and for Fn, which X doesn't see.
  static std::optional<std::uint32_t> forVirtualKey(std::uint16_t code);

  // The keysym that types `character`: Latin-1 characters have their own, every other one the
  // Unicode keysym 0x1000000 + code point; newline and carriage return type Return, tab types
  // Tab, backspace types BackSpace. None for other control characters, surrogates and
  // non-characters past U+10FFFF.
  static std::optional<std::uint32_t> forCharacter(char32_t character);
};

}  // namespace ambrel
