#include "Ambrel_Host/reach/NatHostPuncher.h"

#include <boost/asio/post.hpp>

#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {

auto& log() {
  static auto& logger = corvel::Log::host("nat");
  return logger;
}

}  // namespace

NatHostPuncher::NatHostPuncher(corvel::Executor executor, std::unique_ptr<Listener> listener,
                               Options options)
    : executor_(std::move(executor)), listener_(std::move(listener)), options_(std::move(options)) {}

NatHostPuncher::~NatHostPuncher() { stop(); }

void NatHostPuncher::prepare(std::function<void(std::optional<corvel::net::StunReflexive>)> done) {
  stop();
  std::weak_ptr<int> current = generation_;
  corvel::net::StunClient::discover(
      executor_, options_.stunHost, options_.stunPort, options_.timeout,
      [this, current, executor = executor_,
       done = std::move(done)](std::optional<corvel::net::StunClient::Discovery> found) mutable {
        boost::asio::post(executor, [this, current, found = std::move(found), done = std::move(done)] {
          if (current.expired()) return;  // stopped, or started over
          if (!found) {
            log().info("NAT: no public address from the STUN server; no hole punching");
            return done(std::nullopt);
          }
          if (auto error = listener_->listen(found->localPort)) {
            log().warn("NAT: QUIC listener failed: {}", error.message());
            return done(std::nullopt);
          }
          listening_ = true;
          reflexive_ = found->reflexive;
          log().info("NAT: QUIC hole-punch listener up on port {}", found->localPort);
          done(reflexive_);
        });
      });
}

void NatHostPuncher::punch(const corvel::net::StunReflexive& toward) {
  if (listening_) listener_->punch(toward);
}

void NatHostPuncher::stop() {
  generation_ = std::make_shared<int>(0);
  if (listening_) listener_->stop();
  listening_ = false;
  reflexive_.reset();
}

}  // namespace ambrel
