#pragma once

#include <optional>
#include <string>

#include "Ambrel_Host/capture/DesktopBackend.h"

namespace ambrel {

// Picks the desktop backend for the session the host runs in, from the session's type and what
// the session bus offers, and builds it.
class DesktopBackendChooser {
 public:
  // What the choice depends on.
  struct Facts {
    std::optional<std::string> display;         // $DISPLAY, when set and not empty
    std::optional<std::string> waylandDisplay;  // $WAYLAND_DISPLAY, when set and not empty
    std::string sessionType;                    // $XDG_SESSION_TYPE ("x11", "wayland", "tty", ...)
    bool mutterOnBus = false;  // org.gnome.Mutter.RemoteDesktop and .ScreenCast have owners
    bool portalOnBus = false;  // org.freedesktop.portal.Desktop is there or can be started
    bool wlrootsProtocols = false;  // the compositor offers wlr-screencopy and virtual input
  };

  enum class Kind { x11, mutter, wlroots, portal, none };
  struct Choice {
    Kind kind = Kind::none;
    std::string reason;  // a sentence for `status` and the log
  };

  // The decision alone: X11 for an X11 session (or no session at all: the host then brings its own
  // virtual X display); on Wayland mutter's interfaces, else the wlroots protocols, else the
  // desktop portal; else none.
  static Choice decide(const Facts& facts);

  // The facts of this process's session (its environment and session bus).
  static Facts gather();

  // Builds the backend that `choice` names. A backend that can't be built, or none, gives one
  // whose parts reach nothing (no displays, capture that fails to start, input that isn't
  // trusted) and whose reason says why.
  static DesktopBackend build(const Choice& choice);

  // gather(), decide() and build().
  static DesktopBackend choose();

  // The X11 backend of the X server `displayName` (empty: $DISPLAY), with `reason`.
  static DesktopBackend x11(const std::string& displayName, std::string reason);
};

}  // namespace ambrel
