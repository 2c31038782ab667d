#pragma once

#include <memory>

#include "Ambrel_Host/wayland/PipeWireScreenCapturer.h"

namespace ambrel {

class PortalSession;

// Screen capture through the desktop portal: the display's stream of the portal session, read over
// a PipeWire connection the portal hands out. Capture ends when the portal closes the session.
class PortalScreenCapturer final : public PipeWireScreenCapturer {
 public:
  explicit PortalScreenCapturer(std::shared_ptr<PortalSession> session);

  std::error_code start(std::uint32_t displayID, int maxWidth, int fps) override;

 private:
  std::shared_ptr<PortalSession> session_;
};

}  // namespace ambrel
