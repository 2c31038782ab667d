#pragma once

#include <string>
#include <string_view>

namespace corvel::net {

// Who stands behind a peer address, for limits and lockouts: an IPv4 address is one source, while
// IPv6 addresses are grouped by their /64 network (one host may hold a whole /64 and pick a new
// address for every attempt). Text that isn't an address is its own source.
struct PeerSource {
  static std::string of(std::string_view address);
};

}  // namespace corvel::net
