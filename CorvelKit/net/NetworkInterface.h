#pragma once

#include <optional>
#include <string>
#include <vector>

#include <boost/asio/ip/address.hpp>

#include "CorvelKit/net/WakeOnLAN.h"

namespace corvel::net {

// One network interface as the system listed it at one moment.
struct NetworkInterface {
  std::string name;
  bool up = false;
  bool loopback = false;
  // Its IPv4 and IPv6 addresses (IPv6 ones with their scope), in the system's order.
  std::vector<boost::asio::ip::address> addresses;
  // Its link-layer address, when it has a 6-byte (Ethernet-style) one.
  std::optional<WakeOnLAN::MACAddress> hardwareAddress;
};

}  // namespace corvel::net
