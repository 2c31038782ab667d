#pragma once

#include <cstdint>
#include <set>

namespace corvel::input {

// The modifier keys a remote user holds, and the flags they stand for. The flags are recomputed
// from the held keys, so releasing Right Shift while Left Shift is down keeps the shift bit. Caps
// Lock is the exception: its bit follows the flags that came with the last Caps Lock key event.
class ModifierLatch {
 public:
  // Updates the latch with one key event and returns the new flags. Keys that are neither
  // modifiers nor Caps Lock leave it unchanged.
  std::uint64_t apply(std::uint16_t key, bool down, std::uint64_t eventFlags);

  std::uint64_t flags() const { return flags_; }
  const std::set<std::uint16_t>& heldKeyCodes() const { return heldKeys_; }

  friend bool operator==(const ModifierLatch&, const ModifierLatch&) = default;

 private:
  std::uint64_t flags_ = 0;
  std::set<std::uint16_t> heldKeys_;
};

}  // namespace corvel::input
