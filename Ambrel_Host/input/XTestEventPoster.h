#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Ambrel_Host/input/EventPoster.h"

namespace ambrel {

// Posts through the X server's XTEST extension, over an Xlib connection of its own.
//
// Keys are found in the server's keyboard map: a keysym at the base level of some keycode is
// posted on that keycode; text characters may also use the shifted level (with Shift pressed
// around them). Whatever the map lacks goes through a spare keycode (one with no keysyms at all)
// that is remapped to the keysym for the time being; up to ten spares are used in turn, so a
// few characters typed quickly don't overwrite each other's mapping before applications read
// them, and `restoreKeyboardMapping` gives them back their empty mapping.
//
// Without a display, or without XTEST, every call does nothing. A broken connection (the server
// went away) is logged once and turns the poster into one that does nothing; it never ends the
// process.
class XTestEventPoster final : public EventPoster {
 public:
  // Connects to `displayName` (empty: $DISPLAY).
  explicit XTestEventPoster(const std::string& displayName);
  ~XTestEventPoster() override;
  XTestEventPoster(const XTestEventPoster&) = delete;
  XTestEventPoster& operator=(const XTestEventPoster&) = delete;

  bool isConnected() const;
  // A value from the X resources of the session (the RESOURCE_MANAGER property as it was at
  // connection), looked up as `*name` with class `*className`.
  std::optional<std::string> resource(const std::string& name, const std::string& className) const;

  bool isAvailable() const override;
  DisplayBounds screenBounds() const override;
  void moveTo(int x, int y) override;
  void button(int xButton, bool down, int clickCount) override;
  void key(std::uint32_t keysym, bool down) override;
  void typeText(std::u32string_view characters) override;
  bool hasRemappedKeys() const override;
  void restoreKeyboardMapping() override;
  void flush() override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ambrel
