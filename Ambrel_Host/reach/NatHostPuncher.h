#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "CorvelKit/base/Executors.h"
#include "CorvelKit/net/Stun.h"
#include "CorvelKit/net/StunClient.h"

namespace ambrel {

// The host's side of UDP hole punching: it learns this computer's public UDP address from a STUN
// server, listens for hole-punched connections on the very port it learnt it from (so the router
// keeps the mapping the STUN server saw), and when a viewer has published its own public address
// sends a few datagrams toward it from that port, which opens the router for the viewer's
// connection.
//
// Lives on its executor: every call there, and `prepare`'s answer comes there.
class NatHostPuncher {
 public:
  // Where hole-punched connections arrive (a QUIC listener); the punches leave from its socket.
  class Listener {
   public:
    virtual ~Listener() = default;
    [[nodiscard]] virtual std::error_code listen(std::uint16_t port) = 0;
    virtual void punch(const corvel::net::StunReflexive& toward) = 0;
    virtual void stop() = 0;
  };

  struct Options {
    std::string stunHost = corvel::net::StunClient::defaultServerHost;
    std::uint16_t stunPort = corvel::net::StunClient::defaultServerPort;
    std::chrono::milliseconds timeout{4000};
  };

  NatHostPuncher(corvel::Executor executor, std::unique_ptr<Listener> listener, Options options);
  ~NatHostPuncher();
  NatHostPuncher(const NatHostPuncher&) = delete;
  NatHostPuncher& operator=(const NatHostPuncher&) = delete;

  // Learns the public address and starts listening on its port; `done` gets the address, or
  // nothing when either failed. A second call starts over.
  void prepare(std::function<void(std::optional<corvel::net::StunReflexive>)> done);
  // Opens the router toward a viewer's public address.
  void punch(const corvel::net::StunReflexive& toward);
  void stop();
  const std::optional<corvel::net::StunReflexive>& reflexive() const { return reflexive_; }

 private:
  corvel::Executor executor_;
  std::unique_ptr<Listener> listener_;
  Options options_;
  std::optional<corvel::net::StunReflexive> reflexive_;
  bool listening_ = false;
  // Tells a discovery that ends after this object went (or started over) to do nothing.
  std::shared_ptr<int> generation_ = std::make_shared<int>(0);
};

}  // namespace ambrel
