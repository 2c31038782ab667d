#include "Ambrel_Host/wayland/PortalDisplaySource.h"

#include "Ambrel_Host/capture/CaptureError.h"
#include "Ambrel_Host/wayland/PortalSession.h"

namespace ambrel {

PortalDisplaySource::PortalDisplaySource(std::shared_ptr<PortalSession> session) : session_(std::move(session)) {}

corvel::Expected<std::vector<ScreenDisplay>, std::error_code> PortalDisplaySource::displays() {
  if (session_->isClosed()) return corvel::Unexpected<std::error_code>{CaptureErrc::connectionLost};
  std::vector<ScreenDisplay> displays;
  for (const auto& stream : session_->streams()) displays.push_back(stream.display);
  return displays;
}

void PortalDisplaySource::setChangeHandler(std::function<void()> /*handler*/) {}

}  // namespace ambrel
