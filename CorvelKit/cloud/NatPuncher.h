#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "CorvelKit/base/Executors.h"
#include "CorvelKit/cloud/CorvelCloud.h"
#include "CorvelKit/net/Connector.h"
#include "CorvelKit/net/StunClient.h"

namespace corvel::cloud {

// The viewer's side of UDP hole punching: it learns its own public UDP address from a STUN
// server, leaves it for the host in the owner's database (the host then punches toward it), and
// from then on offers a hole-punched way to the host's published address, from the port the
// STUN server saw. Joins a connection race through its candidate function.
class NatPuncher : public std::enable_shared_from_this<NatPuncher> {
 public:
  struct Options {
    std::string stunHost = net::StunClient::defaultServerHost;
    std::uint16_t stunPort = net::StunClient::defaultServerPort;
    std::chrono::milliseconds timeout{4000};
  };

  // Starts at once for the host `macID` whose hole-punch address is `host`.
  static std::shared_ptr<NatPuncher> begin(Executor executor, std::shared_ptr<CorvelCloud> cloud,
                                           std::string macID, net::Endpoint host, Options options);

  // The hole-punched way to the host, once the address is known and published; nothing before,
  // after a failure, or after stop(). Any thread.
  std::optional<net::ConnectCandidate> readyCandidate() const;
  // Whether discovery and publishing are still under way, so that a candidate may yet come. Any
  // thread.
  bool isPending() const;
  void stop();

 private:
  NatPuncher(std::shared_ptr<CorvelCloud> cloud, std::string macID, net::Endpoint host);
  void discovered(const net::StunClient::Discovery& found);
  void settle();

  const std::shared_ptr<CorvelCloud> cloud_;
  const std::string macID_;
  const net::Endpoint host_;
  mutable std::mutex mutex_;
  std::optional<net::ConnectCandidate> cached_;
  bool stopped_ = false;
  bool pending_ = true;
};

}  // namespace corvel::cloud
