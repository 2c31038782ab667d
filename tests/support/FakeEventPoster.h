#pragma once

#include <string>
#include <vector>

#include "Ambrel_Host/input/EventPoster.h"

namespace ambrel::test {

// An event poster that records what it is asked to post, one line each:
//
//   "move 320 400"            "button 1 down click 2"       "key Shift_L down"
//   "text Hé"                 "restore"
//
// Keys are written by their keysym's X name. `typeText` counts as remapping when it types a
// character outside ASCII, until `restoreKeyboardMapping`.
class FakeEventPoster final : public EventPoster {
 public:
  bool available = true;
  DisplayBounds screen{0, 0, 1920, 1080};
  std::vector<std::string> events;
  int flushes = 0;
  bool remapped = false;

  bool isAvailable() const override { return available; }
  DisplayBounds screenBounds() const override { return screen; }
  void moveTo(int x, int y) override;
  void button(int xButton, bool down, int clickCount) override;
  void key(std::uint32_t keysym, bool down) override;
  void typeText(std::u32string_view characters) override;
  bool hasRemappedKeys() const override { return remapped; }
  void restoreKeyboardMapping() override;
  void flush() override { ++flushes; }

  // The recorded lines since the last call, and forgets them.
  std::vector<std::string> take();
};

}  // namespace ambrel::test
