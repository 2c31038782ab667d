#include "CorvelKit/input/ModifierLatch.h"

#include "CorvelKit/input/ModifierKeys.h"

namespace corvel::input {

std::uint64_t ModifierLatch::apply(std::uint16_t key, bool down, std::uint64_t eventFlags) {
  using protocol::ModifierBits;
  if (key == ModifierKeys::capsLock) {
    flags_ = (flags_ & ~ModifierBits::capsLock) | (eventFlags & ModifierBits::capsLock);
    return flags_;
  }
  if (!ModifierKeys::forVirtualKey(key)) return flags_;
  if (down) {
    heldKeys_.insert(key);
  } else {
    heldKeys_.erase(key);
  }
  std::uint64_t flags = flags_ & ModifierBits::capsLock;
  for (auto held : heldKeys_) flags |= ModifierKeys::forVirtualKey(held).value_or(0);
  flags_ = flags;
  return flags_;
}

}  // namespace corvel::input
