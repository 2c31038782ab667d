#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "Ambrel_Host/capture/DisplaySource.h"

namespace ambrel {

class PortalSession;

// The displays of a desktop-portal session: the screens the owner shared, in the portal's order.
// They stay as shared for the session's life (the portal tells of no changes), so the change
// handler is never called.
class PortalDisplaySource final : public DisplaySource {
 public:
  explicit PortalDisplaySource(std::shared_ptr<PortalSession> session);

  corvel::Expected<std::vector<ScreenDisplay>, std::error_code> displays() override;
  void setChangeHandler(std::function<void()> handler) override;

 private:
  std::shared_ptr<PortalSession> session_;
};

}  // namespace ambrel
