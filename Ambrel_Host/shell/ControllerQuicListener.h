#pragma once

#include <memory>

#include "Ambrel_Host/reach/NatHostPuncher.h"

namespace ambrel {

class HostController;

// Hole-punched connections arrive at the host controller's QUIC listener, and the punches leave
// from its socket. Holds the controller weakly (it is made after the puncher); on the
// controller's executor only.
class ControllerQuicListener final : public NatHostPuncher::Listener {
 public:
  explicit ControllerQuicListener(std::shared_ptr<std::weak_ptr<HostController>> host);

  [[nodiscard]] std::error_code listen(std::uint16_t port) override;
  void punch(const corvel::net::StunReflexive& toward) override;
  void stop() override;

 private:
  std::shared_ptr<std::weak_ptr<HostController>> host_;
};

}  // namespace ambrel
