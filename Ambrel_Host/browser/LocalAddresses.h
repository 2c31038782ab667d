#pragma once

#include <string>
#include <vector>

namespace ambrel {

// The computer's IPv4 addresses on interfaces that are up and not loopback (tunnel and
// peer-to-peer interfaces left out), as numeric text, de-duplicated and sorted as strings.
std::vector<std::string> localIPv4Addresses();
// The global unicast IPv6 addresses (2000::/3) of the same interfaces, without zone, the same way.
std::vector<std::string> globalIPv6Addresses();

}  // namespace ambrel
