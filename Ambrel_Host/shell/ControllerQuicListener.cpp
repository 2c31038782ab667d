#include "Ambrel_Host/shell/ControllerQuicListener.h"

#include "Ambrel_Host/controller/HostController.h"

namespace ambrel {

ControllerQuicListener::ControllerQuicListener(std::shared_ptr<std::weak_ptr<HostController>> host)
    : host_(std::move(host)) {}

std::error_code ControllerQuicListener::listen(std::uint16_t port) {
  auto host = host_->lock();
  if (!host) return std::make_error_code(std::errc::operation_canceled);
  std::error_code error;
  host->startQuicListener(port, error);
  return error;
}

void ControllerQuicListener::punch(const corvel::net::StunReflexive& toward) {
  auto host = host_->lock();
  boost::system::error_code ec;
  const auto address = boost::asio::ip::make_address(toward.host, ec);
  if (!host || ec) return;
  host->punchFromQuicListener({address, toward.port});
}

void ControllerQuicListener::stop() {
  if (auto host = host_->lock()) host->stopQuicListener();
}

}  // namespace ambrel
