#pragma once

#include <memory>

#include "Ambrel_Host/input/EventPoster.h"

namespace ambrel {

class WlrVirtualInput;

// Posts through the virtual pointer and keyboard the host shares on a wlroots compositor.
// Characters the layout lacks are added to the keyboard's keymap for good, so nothing is ever
// remapped back: `hasRemappedKeys` is always false.
class WlrEventPoster final : public EventPoster {
 public:
  explicit WlrEventPoster(std::shared_ptr<WlrVirtualInput> devices);

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
  std::shared_ptr<WlrVirtualInput> devices_;
};

}  // namespace ambrel
