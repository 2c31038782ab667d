#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "CorvelKit/base/Bytes.h"

namespace corvel::net {

// The public (server-reflexive) UDP address a STUN server saw a request come from.
struct StunReflexive {
  std::string host;  // dotted IPv4 or textual IPv6
  std::uint16_t port = 0;

  friend bool operator==(const StunReflexive&, const StunReflexive&) = default;
};

// STUN binding requests and the address in their answers (RFC 5389).
struct Stun {
  static constexpr std::uint32_t magicCookie = 0x2112A442;
  static constexpr std::size_t headerSize = 20;
  static constexpr std::size_t transactionIDSize = 12;

  // Twelve bytes from the system's secure random generator.
  static Bytes newTransactionID();
  // The 20-byte binding request; an ID of another length is first cut or zero-padded to 12 bytes.
  static Bytes request(ByteView transactionID);
  // The address a response carries: its XOR-MAPPED-ADDRESS, else its first MAPPED-ADDRESS.
  // Nothing for a datagram without the magic cookie or shorter than a header. Attributes are read
  // up to the declared length, capped at the datagram; one whose header or value runs past that
  // end stops the reading.
  // The response's type and transaction ID are not compared with the request's (IPv6 XOR
  // decoding uses `transactionID`, and needs 12 bytes of it).
  static std::optional<StunReflexive> reflexiveAddress(ByteView datagram, ByteView transactionID);
};

}  // namespace corvel::net
