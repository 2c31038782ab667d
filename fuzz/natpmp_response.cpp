// NAT-PMP answers come from whatever answers on the router's address: any datagram must parse or
// be refused, and what parses must be self-consistent.

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "CorvelKit/net/NatPmp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using corvel::net::NatPmp;
  auto response = NatPmp::parse(corvel::ByteView(data, size));
  if (!response) return 0;
  if (response->opcode > NatPmp::mapTCPOpcode) std::abort();
  if (response->result == 0 && response->opcode == NatPmp::externalAddressOpcode) {
    unsigned char address[4];
    if (::inet_pton(AF_INET, response->address.c_str(), address) != 1) std::abort();
  }
  return 0;
}
