#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ambrel {

// What the overlays should show, as the host's sessions stand.
struct OverlayState {
  // The pill's text for devices in control.
  static std::string pillText(const std::vector<std::string>& names, bool isSupport);

  // The border and control pill: on the display of the first device in control, naming every
  // device in control.
  bool showControl = false;
  std::uint32_t displayID = 0;
  std::vector<std::string> names;
  bool isSupport = false;
  // The curtain: people at the computer see black while someone watches.
  bool curtain = false;

  friend bool operator==(const OverlayState&, const OverlayState&) = default;
};

}  // namespace ambrel
