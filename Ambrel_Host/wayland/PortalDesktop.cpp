#include "Ambrel_Host/wayland/PortalDesktop.h"

#include "Ambrel_Host/wayland/PortalDisplaySource.h"
#include "Ambrel_Host/wayland/PortalEventPoster.h"
#include "Ambrel_Host/wayland/PortalScreenCapturer.h"
#include "CorvelKit/base/Paths.h"

namespace ambrel {

std::filesystem::path PortalDesktop::tokenFile() { return corvel::Paths::dataFolder() / "portal-restore-token"; }

corvel::Expected<DesktopBackend, std::string> PortalDesktop::open(PortalSession::Options options) {
  auto opened = PortalSession::open(std::move(options));
  if (!opened) return corvel::Unexpected{opened.error()};
  std::shared_ptr<PortalSession> session = std::move(*opened);
  DesktopBackend backend;
  backend.name = "desktop portal";
  backend.reason = "the desktop portal's remote desktop session";
  backend.displays = std::make_shared<PortalDisplaySource>(session);
  backend.capturer = [session] { return std::make_unique<PortalScreenCapturer>(session); };
  backend.eventPoster = [session]() -> std::unique_ptr<EventPoster> {
    return std::make_unique<PortalEventPoster>(session);
  };
  return backend;
}

}  // namespace ambrel
