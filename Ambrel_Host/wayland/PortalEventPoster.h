#pragma once

#include <memory>

#include "Ambrel_Host/input/EventPoster.h"

namespace ambrel {

class PortalSession;

// Synthetic input through the desktop portal's remote-desktop session: the pointer absolute in the
// coordinates of the shared screen it lands on, buttons and keys by evdev code (keys the key map
// has no code for by keysym, as is text), the wheel in discrete steps. The calls go out on flush().
// Used from the input injector's queue only.
class PortalEventPoster final : public EventPoster {
 public:
  explicit PortalEventPoster(std::shared_ptr<PortalSession> session);

  bool isAvailable() const override;
  DisplayBounds screenBounds() const override;
  void moveTo(int x, int y) override;
  void button(int xButton, bool down, int clickCount) override;
  void key(std::uint32_t keysym, bool down) override;
  void typeText(std::u32string_view characters) override;
  bool hasRemappedKeys() const override { return false; }
  void restoreKeyboardMapping() override {}
  void flush() override;

 private:
  void keysym(std::uint32_t keysym, bool down);

  std::shared_ptr<PortalSession> session_;
};

}  // namespace ambrel
