#pragma once

#include "CorvelKit/net/NetworkInterfaces.h"

namespace corvel::platform {

// The interface list from getifaddrs: flags from every entry of a name, IPv4 and IPv6 addresses,
// and the hardware address from the AF_PACKET entry.
class LinuxNetworkInterfaces final : public net::NetworkInterfaces {
 public:
  std::vector<net::NetworkInterface> list() const override;
};

}  // namespace corvel::platform
