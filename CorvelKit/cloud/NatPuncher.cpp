#include "CorvelKit/cloud/NatPuncher.h"

#include "CorvelKit/base/Log.h"

namespace corvel::cloud {

namespace {
auto& log() { return Log::core("nat"); }
}  // namespace

NatPuncher::NatPuncher(std::shared_ptr<CorvelCloud> cloud, std::string macID, net::Endpoint host)
    : cloud_(std::move(cloud)), macID_(std::move(macID)), host_(std::move(host)) {}

std::shared_ptr<NatPuncher> NatPuncher::begin(Executor executor, std::shared_ptr<CorvelCloud> cloud,
                                              std::string macID, net::Endpoint host, Options options) {
  std::shared_ptr<NatPuncher> puncher(new NatPuncher(std::move(cloud), std::move(macID), std::move(host)));
  if (puncher->host_.host.empty() || puncher->host_.port == 0) {
    puncher->settle();
    return puncher;
  }
  net::StunClient::discover(
      executor, options.stunHost, options.stunPort, options.timeout,
      [weak = std::weak_ptr<NatPuncher>(puncher)](std::optional<net::StunClient::Discovery> found) {
        auto self = weak.lock();
        if (!self) return;
        if (!found) {
          log().info("NAT: STUN discovery failed; no hole-punch candidate added");
          self->settle();
          return;
        }
        // Publishing waits on the database: not on the caller's executor.
        asio::post(sharedPool(), [self, found = *found] { self->discovered(found); });
      });
  return puncher;
}

void NatPuncher::discovered(const net::StunClient::Discovery& found) {
  if (auto error = cloud_->publishViewerCandidate(macID_, found.reflexive)) {
    log().warn("NAT: the viewer candidate couldn't be published: {}", error.message());
    settle();
    return;
  }
  std::lock_guard lock(mutex_);
  pending_ = false;
  if (stopped_) return;
  cached_ = net::ConnectCandidate{host_, std::nullopt, found.localPort};
  log().info("NAT: hole-punch candidate ready (local port {})", found.localPort);
}

void NatPuncher::settle() {
  std::lock_guard lock(mutex_);
  pending_ = false;
}

bool NatPuncher::isPending() const {
  std::lock_guard lock(mutex_);
  return pending_ && !stopped_;
}

std::optional<net::ConnectCandidate> NatPuncher::readyCandidate() const {
  std::lock_guard lock(mutex_);
  return cached_;
}

void NatPuncher::stop() {
  std::lock_guard lock(mutex_);
  stopped_ = true;
  cached_.reset();
}

}  // namespace corvel::cloud
