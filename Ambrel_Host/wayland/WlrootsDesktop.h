#pragma once

#include <optional>
#include <string>

#include "Ambrel_Host/capture/DesktopBackend.h"
#include "CorvelKit/base/Expected.h"

namespace ambrel {

// The desktop of a wlroots compositor (sway and others): outputs from wl_output and xdg-output,
// capture through wlr-screencopy, input through a virtual pointer and keyboard, the clipboard
// through wlr-data-control (left out when the compositor lacks it).
struct WlrootsDesktop {
  // `waylandDisplay`: a socket name in $XDG_RUNTIME_DIR or an absolute path (empty:
  // $WAYLAND_DISPLAY). Fails, saying why, when the compositor can't be reached or lacks what
  // capture or input need.
  [[nodiscard]] static corvel::Expected<DesktopBackend, std::string> open(const std::string& waylandDisplay);
  // Whether the compositor there offers what open() needs.
  static bool isOffered(const std::string& waylandDisplay);

 private:
  // What the compositor lacks of what capture and input need, or nothing.
  static std::optional<std::string> lacking(const std::string& waylandDisplay);
};

}  // namespace ambrel
