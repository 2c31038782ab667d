#pragma once

#include <optional>
#include <string>
#include <vector>

#include "CorvelKit/net/WakeOnLAN.h"

namespace ambrel {

struct InterfaceAddress {
  std::string interfaceName;
  corvel::net::WakeOnLAN::MACAddress address;
};

// The hardware address the host reports for Wake-on-LAN: wired interfaces (en*, eth*) first, then
// the others, each group in name order; the all-zero address is never chosen.
std::optional<std::string> choosePrimaryMACAddress(std::vector<InterfaceAddress> candidates);

// The same, from this machine's interface list.
std::optional<std::string> primaryMACAddress();

}  // namespace ambrel
