#pragma once

#include <cstdint>
#include <string>

namespace ambrel {

// One display of the host as the capture side sees it: an X RandR monitor. Sizes and positions
// are pixels of the X screen (on X11 a point is a pixel).
struct ScreenDisplay {
  // The display identifier: the RandR output id of the monitor's first output. A monitor made
  // without outputs (`xrandr --setmonitor NAME geometry none`) gets 0x80000000 | its name atom,
  // which never collides with an output id (X ids use only the low 29 bits). A server without
  // RandR monitors is one display with the identifier 1 covering the whole screen.
  std::uint32_t id = 0;
  // The monitor's name ("DP-1", "screen"), or "Display <id>" when it has none.
  std::string name;
  int width = 0;
  int height = 0;
  int x = 0;
  int y = 0;
  // The primary monitor; the first one when none is marked primary.
  bool isMain = false;

  friend bool operator==(const ScreenDisplay&, const ScreenDisplay&) = default;
};

}  // namespace ambrel
