#pragma once

#include <string>
#include <vector>

namespace ambrel {

// The computer's IPv4 addresses on interfaces that are up and not loopback (tunnel and
// peer-to-peer interfaces left out), as numeric text, de-duplicated and sorted as strings.
std::vector<std::string> localIPv4Addresses();

}  // namespace ambrel
