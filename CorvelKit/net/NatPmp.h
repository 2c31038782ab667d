#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "CorvelKit/base/Bytes.h"

namespace corvel::net {

// NAT-PMP requests to a home router and its answers (RFC 6886): the router's external IPv4 address,
// and mappings of a port of this computer to one on that address.
struct NatPmp {
  static constexpr std::uint16_t gatewayPort = 5351;
  static constexpr std::uint8_t externalAddressOpcode = 0;
  static constexpr std::uint8_t mapUDPOpcode = 1;
  static constexpr std::uint8_t mapTCPOpcode = 2;

  // An answer: `opcode` is the request's (without the answer bit). `address` is set for an
  // external-address answer that succeeded, the ports and lifetime for a mapping that did.
  struct Response {
    std::uint8_t opcode = 0;
    std::uint16_t result = 0;  // 0 success; 1 unsupported version, 2 refused, 3 network, 4 no resources, 5 unsupported opcode
    std::uint32_t epoch = 0;   // the router's seconds since its mappings were last lost
    std::string address;       // dotted IPv4
    std::uint16_t internalPort = 0;
    std::uint16_t externalPort = 0;
    std::uint32_t lifetime = 0;  // seconds
  };

  static Bytes externalAddressRequest();
  // A mapping of `internalPort` for `lifetime` seconds, on `suggestedExternalPort` if the router
  // can. Lifetime 0 with external port 0 removes the mapping.
  static Bytes mapRequest(std::uint8_t opcode, std::uint16_t internalPort,
                          std::uint16_t suggestedExternalPort, std::uint32_t lifetime);
  // Nothing for anything that is not a version-0 answer of a known kind; an answer that succeeded
  // must carry all its fields (an error answer may stop after its epoch).
  static std::optional<Response> parse(ByteView datagram);
};

}  // namespace corvel::net
