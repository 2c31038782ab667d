#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "Ambrel_Host/input/DisplayBounds.h"
#include "CorvelKit/base/Expected.h"

namespace ambrel {

// The host's virtual pointer and keyboard on a wlroots compositor (zwlr_virtual_pointer_v1,
// zwp_virtual_keyboard_v1), on a connection of their own. Made once for the host's run and shared
// by every event poster: some compositors misbehave when virtual pointers come and go while X
// clients are connected. The keyboard gets its keymap once, and again only when text needs a
// character the layout lacks (WlrKeymap); its modifier state follows the keys it presses.
//
// Thread-safe: posters on different queues take turns through one lock. A broken connection is
// logged once and makes every call do nothing.
class WlrVirtualInput {
 public:
  // `display` as WaylandConnection::open takes it; fails when the compositor lacks either device.
  [[nodiscard]] static corvel::Expected<std::shared_ptr<WlrVirtualInput>, std::string> open(
      const std::string& display);
  ~WlrVirtualInput();
  WlrVirtualInput(const WlrVirtualInput&) = delete;
  WlrVirtualInput& operator=(const WlrVirtualInput&) = delete;

  bool isAvailable();
  // The bounding box of the outputs' layout.
  DisplayBounds screenBounds();
  void moveTo(int x, int y);
  // An X button number (EventPoster's); wheel buttons scroll one step on their press.
  void button(int xButton, bool down);
  void key(std::uint32_t keysym, bool down);
  void typeText(std::u32string_view characters);
  void flush();

  struct Impl;

 private:
  explicit WlrVirtualInput(std::unique_ptr<Impl> impl);

  std::mutex mutex_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ambrel
