#pragma once

#include <memory>

#include "Ambrel_Host/capture/DesktopBackend.h"

namespace ambrel {

// Until the host chooses its desktop backend at start, AMBREL_DESKTOP=wlroots makes the X11
// factories (displays, capture, input, clipboard) hand out the wlroots backend on
// $WAYLAND_DISPLAY instead.
struct WaylandDesktopSwitch {
  // The backend asked for, opened on first use and kept for the process; null when none was
  // asked for or it couldn't be opened (logged once).
  static const DesktopBackend* chosen();
  // The chosen backend's displays, for callers that own their source.
  static std::unique_ptr<DisplaySource> displaySource();
};

}  // namespace ambrel
