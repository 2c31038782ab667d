#include "CorvelKit/net/QuicPacketRoute.h"

#include <ngtcp2/ngtcp2.h>

#include <algorithm>

namespace corvel::net {

std::optional<QuicPacketRoute::Prefix> QuicPacketRoute::prefix() const {
  if (destinationId.size() != idLength) return std::nullopt;
  Prefix p{};
  std::copy_n(destinationId.begin(), prefixLength, p.begin());
  return p;
}

std::optional<QuicPacketRoute> QuicPacketRoute::of(ByteView datagram) {
  if (datagram.empty()) return std::nullopt;
  ngtcp2_version_cid vc{};
  if (ngtcp2_pkt_decode_version_cid(&vc, datagram.data(), datagram.size(), idLength) != 0) {
    return std::nullopt;
  }
  QuicPacketRoute route;
  route.longHeader = (datagram[0] & 0x80u) != 0;
  if (route.longHeader && vc.version != NGTCP2_PROTO_VER_V1) return std::nullopt;
  if (vc.dcidlen > NGTCP2_MAX_CIDLEN) return std::nullopt;
  route.destinationId.assign(vc.dcid, vc.dcid + vc.dcidlen);
  return route;
}

}  // namespace corvel::net
