#pragma once

#include <string>

#include "Ambrel_Host/capture/DesktopBackend.h"
#include "Ambrel_Host/wayland/PortalSession.h"
#include "CorvelKit/base/Expected.h"

namespace ambrel {

// The desktop as the desktop portal shares it (Wayland compositors with neither mutter's own
// interfaces nor the wlroots protocols): one remote-desktop session for the displays, capture and
// input of the host's whole run. No clipboard.
struct PortalDesktop {
  // Where the portal's restore token is kept between runs.
  static std::filesystem::path tokenFile();

  // Fails, saying why, when the portal can't be reached or the owner declines.
  [[nodiscard]] static corvel::Expected<DesktopBackend, std::string> open(PortalSession::Options options);
};

}  // namespace ambrel
