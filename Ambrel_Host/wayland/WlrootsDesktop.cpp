#include "Ambrel_Host/wayland/WlrootsDesktop.h"

#include <wayland-client.h>

#include "Ambrel_Host/wayland/WaylandConnection.h"
#include "Ambrel_Host/wayland/WlrClipboard.h"
#include "Ambrel_Host/wayland/WlrDisplaySource.h"
#include "Ambrel_Host/wayland/WlrEventPoster.h"
#include "Ambrel_Host/wayland/WlrScreenCapturer.h"
#include "Ambrel_Host/wayland/WlrVirtualInput.h"
#include "CorvelKit/base/Log.h"

namespace ambrel {

std::optional<std::string> WlrootsDesktop::lacking(const std::string& waylandDisplay) {
  auto probe = WaylandConnection::open(waylandDisplay);
  if (!probe) return "can't reach the Wayland compositor: " + probe.error().message();
  for (const char* needed : {"zwlr_screencopy_manager_v1", "wl_shm", "zwlr_virtual_pointer_manager_v1",
                             "zwp_virtual_keyboard_manager_v1", "wl_seat"}) {
    if ((*probe)->find(needed) == 0) return std::string("the compositor offers no ") + needed;
  }
  if ((*probe)->find("zxdg_output_manager_v1") == 0) {
    corvel::Log::host("video").warn("no xdg-output: outputs have no names and pixel-sized areas");
  }
  return std::nullopt;
}

bool WlrootsDesktop::isOffered(const std::string& waylandDisplay) { return !lacking(waylandDisplay); }

corvel::Expected<DesktopBackend, std::string> WlrootsDesktop::open(const std::string& waylandDisplay) {
  if (auto missing = lacking(waylandDisplay)) return corvel::Unexpected{*missing};

  DesktopBackend backend;
  backend.name = "wlroots";
  backend.reason = "a Wayland compositor with wlr-screencopy and virtual input";
  auto displays = WlrDisplaySource::open(waylandDisplay);
  if (!displays) return corvel::Unexpected{"can't read the outputs: " + displays.error().message()};
  backend.displays = std::move(*displays);
  auto input = WlrVirtualInput::open(waylandDisplay);
  if (!input) return corvel::Unexpected{input.error()};
  backend.capturer = [waylandDisplay] { return std::make_unique<WlrScreenCapturer>(waylandDisplay); };
  backend.eventPoster = [devices = std::move(*input)] { return std::make_unique<WlrEventPoster>(devices); };
  if (auto clipboard = WlrClipboard::open(waylandDisplay)) {
    backend.clipboard = std::move(*clipboard);
  } else {
    corvel::Log::host("clipboard").warn("no clipboard to share: the compositor lacks wlr-data-control");
  }
  return backend;
}

}  // namespace ambrel
