#pragma once

#include <cstdint>
#include <string_view>

#include "Ambrel_Host/input/DisplayBounds.h"

namespace ambrel {

// Where the input injector's synthetic events go: the desktop's input system (XTest on X11), or a
// recording fake in tests. Called only from the injector's queue; calls may be buffered until
// `flush`.
class EventPoster {
 public:
  // X pointer buttons.
  static constexpr int leftButton = 1;
  static constexpr int middleButton = 2;
  static constexpr int rightButton = 3;
  static constexpr int wheelUp = 4;
  static constexpr int wheelDown = 5;
  static constexpr int wheelLeft = 6;
  static constexpr int wheelRight = 7;

  virtual ~EventPoster() = default;

  // Whether posted events reach the desktop (the accessibility trust of this platform).
  virtual bool isAvailable() const = 0;
  // The whole screen: the display that coordinates refer to until another is chosen. Empty when
  // the desktop is out of reach.
  virtual DisplayBounds screenBounds() const = 0;

  // Moves the pointer to a pixel of the screen.
  virtual void moveTo(int x, int y) = 0;
  // Presses or releases a pointer button where the pointer is. `clickCount` is the injector's
  // count of this click (1 single, 2 double, ...); X has no field for it, since toolkits count
  // clicks themselves from the events' timing.
  virtual void button(int xButton, bool down, int clickCount) = 0;
  // Presses or releases the key that produces `keysym` at its base level.
  virtual void key(std::uint32_t keysym, bool down) = 0;
  // Types each character in turn (a press and a release each), whatever the keyboard layout.
  virtual void typeText(std::u32string_view characters) = 0;

  // Whether some spare keycode still carries a character that `key` or `typeText` mapped onto it.
  virtual bool hasRemappedKeys() const = 0;
  // Gives every remapped spare keycode that is not held down back its empty mapping. Done a while
  // after typing, so that applications have read their events under the temporary mapping.
  virtual void restoreKeyboardMapping() = 0;

  // Sends what was posted.
  virtual void flush() = 0;
};

}  // namespace ambrel
