#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvel::net {

// Wakes a sleeping computer on the local network with a magic packet.
struct WakeOnLAN {
  using MACAddress = std::array<std::uint8_t, 6>;
  using MagicPacket = std::array<std::uint8_t, 102>;

  // Six hexadecimal pieces (0-255) separated by ":" or "-" (empty pieces ignored).
  static std::optional<MACAddress> parse(std::string_view text);
  // Six bytes 0xFF, then the address sixteen times.
  static MagicPacket magicPacket(const MACAddress& address);
  // Lower-case, colon-separated text: "3c:22:fb:01:02:03".
  static std::string format(const MACAddress& address);

  // Fire and forget: three packets to port 9, then three to port 7, as a UDP broadcast to
  // 255.255.255.255. An address that doesn't parse sends nothing; send errors are ignored.
  static void wake(std::string_view macAddress);

  // The same, to a chosen IPv4 destination and ports (tests use loopback).
  static void wake(std::string_view macAddress, const std::string& ipv4Destination,
                   const std::vector<std::uint16_t>& ports);
};

}  // namespace corvel::net
