#pragma once

#include <cstdint>
#include <optional>

namespace ambrel {

// The evdev key code (linux/input-event-codes.h) of the key that produces an X keysym at its base
// level on a US keyboard: what Wayland compositors take as a physical key. Covers every keysym the
// input injector posts for a key (KeySyms::forVirtualKey); upper-case letters map to their key.
struct EvdevKeyCodes {
  static std::optional<std::uint16_t> forKeysym(std::uint32_t keysym);
};

}  // namespace ambrel
