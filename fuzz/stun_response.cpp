// STUN answers come from the network, from whoever answers the port: any datagram must parse or be
// refused, and a found address must be well-formed text.

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "CorvelKit/net/Stun.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The first twelve bytes (when there are) play the request's transaction ID.
  const std::size_t idSize = size >= 12 ? 12 : 0;
  const corvel::ByteView id(data, idSize);
  const corvel::ByteView datagram(data + idSize, size - idSize);
  auto found = corvel::net::Stun::reflexiveAddress(datagram, id);
  if (!found) return 0;
  unsigned char address[16];
  if (::inet_pton(AF_INET, found->host.c_str(), address) != 1 &&
      ::inet_pton(AF_INET6, found->host.c_str(), address) != 1) {
    std::abort();
  }
  return 0;
}
