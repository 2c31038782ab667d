#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "CorvelKit/protocol/ModifierBits.h"

namespace corvel::input {

// Up to four virtual key codes, in order, without allocating.
struct VirtualKeyList {
  std::array<std::uint16_t, 4> codes{};
  std::size_t count = 0;

  const std::uint16_t* begin() const { return codes.data(); }
  const std::uint16_t* end() const { return codes.data() + count; }
  std::size_t size() const { return count; }
  bool empty() const { return count == 0; }
  std::uint16_t operator[](std::size_t i) const { return codes[i]; }
};

// The modifier keys behind the masks of protocol::ModifierBits.
struct ModifierKeys {
  // Left-hand modifier keys.
  static constexpr std::uint16_t command = 55;
  static constexpr std::uint16_t shift = 56;
  static constexpr std::uint16_t capsLock = 57;
  static constexpr std::uint16_t option = 58;
  static constexpr std::uint16_t control = 59;
  static constexpr std::uint16_t function = 63;
  // Right-hand modifier keys.
  static constexpr std::uint16_t rightCommand = 54;
  static constexpr std::uint16_t rightShift = 60;
  static constexpr std::uint16_t rightOption = 61;
  static constexpr std::uint16_t rightControl = 62;

  // The flag a modifier key stands for: none for Caps Lock (handled apart) and for every key that
  // is not a modifier.
  static constexpr std::optional<std::uint64_t> forVirtualKey(std::uint16_t code) {
    using protocol::ModifierBits;
    switch (code) {
      case rightCommand:
      case command: return ModifierBits::command;
      case shift:
      case rightShift: return ModifierBits::shift;
      case option:
      case rightOption: return ModifierBits::option;
      case control:
      case rightControl: return ModifierBits::control;
      case function: return ModifierBits::function;
      default: return std::nullopt;
    }
  }

  // The left-hand keys to press for `flags`: control, option, shift, command, each when its bit is
  // set. Function and Caps Lock are never produced.
  static constexpr VirtualKeyList virtualKeyCodes(std::uint64_t flags) {
    using protocol::ModifierBits;
    VirtualKeyList list;
    if (flags & ModifierBits::control) list.codes[list.count++] = control;
    if (flags & ModifierBits::option) list.codes[list.count++] = option;
    if (flags & ModifierBits::shift) list.codes[list.count++] = shift;
    if (flags & ModifierBits::command) list.codes[list.count++] = command;
    return list;
  }
};

}  // namespace corvel::input
