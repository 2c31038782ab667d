#include "Ambrel_Host/capture/DesktopBackendChooser.h"

#include <cstdlib>

#include <systemd/sd-bus.h>

#include "Ambrel_Host/controller/X11Clipboard.h"
#include "Ambrel_Host/input/XTestEventPoster.h"
#include "Ambrel_Host/shell/BusConnection.h"
#include "Ambrel_Host/wayland/WlrootsDesktop.h"
#include "Ambrel_Host/wayland/MutterClipboard.h"
#include "Ambrel_Host/wayland/MutterDisplaySource.h"
#include "Ambrel_Host/wayland/MutterEventPoster.h"
#include "Ambrel_Host/wayland/MutterScreenCapturer.h"
#include "Ambrel_Host/wayland/PortalDesktop.h"
#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {

spdlog::logger& log() {
  static auto& logger = corvel::Log::host("app");
  return logger;
}

std::optional<std::string> variable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

bool hasOwner(sd_bus* bus, const char* name) {
  sd_bus_error error{};  // SD_BUS_ERROR_NULL
  sd_bus_message* reply = nullptr;
  int owned = 0;
  const int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                   "NameHasOwner", &error, &reply, "s", name);
  if (r >= 0) (void)sd_bus_message_read(reply, "b", &owned);
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  return owned != 0;
}

bool isActivatable(sd_bus* bus, const char* name) {
  sd_bus_error error{};  // SD_BUS_ERROR_NULL
  sd_bus_message* reply = nullptr;
  bool found = false;
  const int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                   "ListActivatableNames", &error, &reply, "");
  if (r >= 0 && sd_bus_message_enter_container(reply, 'a', "s") >= 0) {
    const char* each = nullptr;
    while (sd_bus_message_read(reply, "s", &each) > 0) found = found || std::string_view(each) == name;
  }
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  return found;
}

// Input for a session the host can't reach: posts nothing and is not trusted.
class UnreachableEventPoster final : public EventPoster {
 public:
  bool isAvailable() const override { return false; }
  DisplayBounds screenBounds() const override { return {}; }
  void moveTo(int, int) override {}
  void button(int, bool, int) override {}
  void key(std::uint32_t, bool) override {}
  void typeText(std::u32string_view) override {}
  bool hasRemappedKeys() const override { return false; }
  void restoreKeyboardMapping() override {}
  void flush() override {}
};

// A backend that reaches nothing: the host still runs (and says why) without a screen.
DesktopBackend unavailable(std::string reason) {
  DesktopBackend backend;
  backend.name = "none";
  backend.reason = std::move(reason);
  // Without displays, capture fails to start.
  backend.capturer = [] { return std::make_unique<MutterScreenCapturer>(nullptr); };
  backend.eventPoster = []() -> std::unique_ptr<EventPoster> { return std::make_unique<UnreachableEventPoster>(); };
  return backend;
}

}  // namespace

DesktopBackendChooser::Choice DesktopBackendChooser::decide(const Facts& f) {
  if (f.sessionType == "x11") {
    return {Kind::x11, "X11 session (XDG_SESSION_TYPE=x11" + (f.display ? ", DISPLAY=" + *f.display : "") + ")"};
  }
  if (f.display && !f.waylandDisplay && f.sessionType != "wayland") {
    return {Kind::x11, "X11 session (DISPLAY=" + *f.display + ", no WAYLAND_DISPLAY)"};
  }
  const bool wayland = f.waylandDisplay.has_value() || f.sessionType == "wayland";
  if (!wayland) {
    return {Kind::x11, "no desktop session; the host brings its own virtual X display"};
  }
  const std::string where = f.waylandDisplay ? "Wayland session (WAYLAND_DISPLAY=" + *f.waylandDisplay + ")"
                                             : std::string("Wayland session (XDG_SESSION_TYPE=wayland)");
  if (f.mutterOnBus) {
    return {Kind::mutter, where + " with mutter's RemoteDesktop and ScreenCast interfaces on the session bus"};
  }
  if (f.wlrootsProtocols) {
    return {Kind::wlroots, where + " with a compositor that offers wlr-screencopy and virtual input"};
  }
  if (f.portalOnBus) {
    return {Kind::portal, where + " with the desktop portal on the session bus"};
  }
  return {Kind::none, where + ", but there are neither mutter's remote-desktop interfaces, nor the wlroots "
                              "protocols, nor the desktop portal: no screen capture or remote input"};
}

DesktopBackendChooser::Facts DesktopBackendChooser::gather() {
  Facts f;
  f.display = variable("DISPLAY");
  f.waylandDisplay = variable("WAYLAND_DISPLAY");
  f.sessionType = variable("XDG_SESSION_TYPE").value_or("");
  // The bus and the compositor matter only on Wayland.
  if (f.sessionType == "x11" || (f.display && !f.waylandDisplay && f.sessionType != "wayland")) return f;
  f.wlrootsProtocols = f.waylandDisplay && WlrootsDesktop::isOffered(*f.waylandDisplay);
  sd_bus* bus = nullptr;
  if (openBus(&bus, std::nullopt, BusKind::session) < 0) return f;
  f.mutterOnBus = hasOwner(bus, "org.gnome.Mutter.RemoteDesktop") && hasOwner(bus, "org.gnome.Mutter.ScreenCast");
  f.portalOnBus = hasOwner(bus, "org.freedesktop.portal.Desktop") || isActivatable(bus, "org.freedesktop.portal.Desktop");
  sd_bus_flush_close_unref(bus);
  return f;
}

DesktopBackend DesktopBackendChooser::x11(const std::string& displayName, std::string reason) {
  DesktopBackend backend;
  backend.name = "X11";
  backend.reason = std::move(reason);
  if (auto source = DisplaySource::create(displayName)) {
    backend.displays = std::move(*source);
  } else {
    log().warn("can't read the displays: {}", source.error().message());
  }
  backend.capturer = [displayName] { return ScreenCapturer::create(displayName); };
  backend.eventPoster = [displayName]() -> std::unique_ptr<EventPoster> {
    return std::make_unique<XTestEventPoster>(displayName);
  };
  if (auto clipboard = X11Clipboard::create(displayName)) {
    backend.clipboard = std::move(*clipboard);
  } else {
    log().warn("no clipboard to share ({})", clipboard.error().message());
  }
  return backend;
}

DesktopBackend DesktopBackendChooser::build(const Choice& choice) {
  switch (choice.kind) {
    case Kind::x11:
      return x11("", choice.reason);
    case Kind::mutter: {
      auto source = MutterDisplaySource::open(std::nullopt);
      if (!source) {
        return unavailable(choice.reason + "; but mutter's displays can't be read (" + source.error().message() + ")");
      }
      DesktopBackend backend;
      backend.name = "GNOME (mutter)";
      backend.reason = choice.reason;
      std::shared_ptr<MutterDisplaySource> displays = std::move(*source);
      backend.displays = displays;
      backend.capturer = [displays] { return std::make_unique<MutterScreenCapturer>(displays); };
      backend.eventPoster = [displays]() -> std::unique_ptr<EventPoster> {
        return std::make_unique<MutterEventPoster>(displays);
      };
      if (auto clipboard = MutterClipboard::open(std::nullopt)) {
        backend.clipboard = std::move(*clipboard);
      } else {
        log().warn("no clipboard to share ({})", clipboard.error().message());
      }
      return backend;
    }
    case Kind::wlroots: {
      auto opened = WlrootsDesktop::open(variable("WAYLAND_DISPLAY").value_or(""));
      if (!opened) return unavailable(choice.reason + "; but " + opened.error());
      opened->reason = choice.reason;
      return std::move(*opened);
    }
    case Kind::portal: {
      PortalSession::Options options;
      options.tokenFile = PortalDesktop::tokenFile();
      auto opened = PortalDesktop::open(std::move(options));
      if (!opened) return unavailable(choice.reason + "; but " + opened.error());
      opened->reason = choice.reason;
      return std::move(*opened);
    }
    case Kind::none:
      break;
  }
  return unavailable(choice.reason);
}

DesktopBackend DesktopBackendChooser::choose() {
  const auto choice = decide(gather());
  log().info("desktop backend: {}", choice.reason);
  return build(choice);
}

}  // namespace ambrel
