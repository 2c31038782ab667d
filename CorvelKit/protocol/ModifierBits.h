#pragma once

#include <cstdint>

namespace corvel::protocol {

// Modifier masks of the `flags` of a key InputEvent (an unsigned 64-bit mask).
struct ModifierBits {
  static constexpr std::uint64_t capsLock = 0x10000;
  static constexpr std::uint64_t shift = 0x20000;
  static constexpr std::uint64_t control = 0x40000;
  static constexpr std::uint64_t option = 0x80000;
  static constexpr std::uint64_t command = 0x100000;
  static constexpr std::uint64_t function = 0x800000;

  static constexpr std::uint64_t all = capsLock | shift | control | option | command | function;
};

}  // namespace corvel::protocol
