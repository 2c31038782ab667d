#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace corvel::input {

// Turns what a client device knows about a key (a USB HID keyboard usage, or a typed character)
// into the virtual key code that `key` input events carry. Clients use it; the host injects the
// codes unchanged.
struct KeyMap {
  static constexpr std::uint16_t returnKey = 36;  // "return" in the protocol's own naming
  static constexpr std::uint16_t tab = 48;
  static constexpr std::uint16_t backspace = 51;
  static constexpr std::uint16_t escape = 53;
  static constexpr std::uint16_t leftArrow = 123;
  static constexpr std::uint16_t rightArrow = 124;
  static constexpr std::uint16_t downArrow = 125;
  static constexpr std::uint16_t upArrow = 126;

  // A usage of the HID keyboard page; none for usages the table leaves out (non-US hash, Print
  // Screen, Scroll Lock, Pause, Insert, and everything past the right-hand modifiers).
  static std::optional<std::uint16_t> macCode(int hidUsage);

  // One character, lower-cased first (so "A" maps like "a"). Only unshifted US characters are in
  // the table: letters, digits, space and the twelve punctuation keys.
  static std::optional<std::uint16_t> macCode(char32_t character);
  // The same for one character given as UTF-8. Text holding more than one code point (a letter
  // with a combining mark, say) is a character that is not in the table.
  static std::optional<std::uint16_t> macCode(std::string_view character);

  // Entries in each table.
  static std::size_t hidTableSize();
  static std::size_t characterTableSize();
};

}  // namespace corvel::input
