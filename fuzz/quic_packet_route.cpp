// Datagrams reach the QUIC listener from anyone: every one must route or be refused from its header
// alone, never reading past it, and a route must name an ID of a length QUIC allows.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "CorvelKit/net/QuicPacketRoute.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto route = corvel::net::QuicPacketRoute::of(corvel::ByteView(data, size));
  if (!route) return 0;
  if (route->destinationId.size() > 20 || route->destinationId.size() >= size) std::abort();
  if (route->prefix().has_value() !=
      (route->destinationId.size() == corvel::net::QuicPacketRoute::idLength)) {
    std::abort();
  }
  return 0;
}
