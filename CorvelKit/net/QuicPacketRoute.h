#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "CorvelKit/base/Bytes.h"

namespace corvel::net {

// Where a datagram that reached the QUIC listener belongs, read from its header alone (the bytes
// come from anyone who can reach the port: nothing past the header is looked at, and nothing is
// decrypted here).
struct QuicPacketRoute {
  // Connection IDs this side issues: 16 bytes, the first 8 naming the connection at the listener.
  static constexpr std::size_t idLength = 16;
  static constexpr std::size_t prefixLength = 8;
  using Prefix = std::array<std::uint8_t, prefixLength>;

  // The destination connection ID as the packet gives it (at most 20 bytes).
  Bytes destinationId;
  // A long-header packet: only those may start a connection.
  bool longHeader = false;

  // The connection it names, when its ID has the length of ours.
  std::optional<Prefix> prefix() const;

  // The route of a QUIC version 1 packet, or nothing for anything else (too short, not QUIC, a
  // version we do not speak).
  static std::optional<QuicPacketRoute> of(ByteView datagram);
};

}  // namespace corvel::net
