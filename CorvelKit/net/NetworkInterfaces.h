#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/ip/address.hpp>

#include "CorvelKit/net/NetworkInterface.h"

namespace corvel::net {

// The computer's network interfaces, as the platform lists them. CorvelKit asks through this
// interface only; the platform's implementation lives outside it (CorvelPlatform), and tests
// install fakes.
class NetworkInterfaces {
 public:
  // Inline on purpose: the platform's implementation derives from this class without linking
  // CorvelKit.
  virtual ~NetworkInterfaces() = default;

  // Every interface once, in the system's order; empty when the system cannot list them.
  virtual std::vector<NetworkInterface> list() const = 0;

  // The name of the interface that holds `address` (an IPv4-mapped address is looked up as the
  // IPv4 address it stands for; IPv6 scopes are not compared).
  std::optional<std::string> holding(const boost::asio::ip::address& address) const;
  // Whether an interface of that name exists and is up.
  bool isUp(std::string_view name) const;

  // What the process uses: the one installed, else the platform's. Safe from any thread.
  static std::shared_ptr<const NetworkInterfaces> current();
  // Replaces the process's implementation (tests install fakes); nullptr goes back to the
  // platform's. Returns what was installed before (nullptr for the platform's).
  static std::shared_ptr<const NetworkInterfaces> install(
      std::shared_ptr<const NetworkInterfaces> replacement);
  // The platform's own implementation, defined once per platform outside CorvelKit.
  static std::shared_ptr<const NetworkInterfaces> platform();
};

}  // namespace corvel::net
