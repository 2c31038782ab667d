#include "CorvelKit/net/Stun.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>

#include "CorvelKit/base/BigEndian.h"
#include "CorvelKit/security/RandomBytes.h"

namespace corvel::net {

namespace {

constexpr std::uint16_t bindingRequest = 0x0001;
constexpr std::uint16_t mappedAddress = 0x0001;
constexpr std::uint16_t xorMappedAddress = 0x0020;
constexpr std::uint8_t familyIPv4 = 0x01;
constexpr std::uint8_t familyIPv6 = 0x02;

// An address attribute's value; `mask` (cookie then transaction ID) when XOR-coded.
std::optional<StunReflexive> decodeAddress(ByteView value, const std::uint8_t* mask) {
  if (value.size() < 4) return std::nullopt;
  std::uint16_t port = loadU16BE(value.data() + 2);
  if (mask) port ^= static_cast<std::uint16_t>(Stun::magicCookie >> 16);

  std::array<std::uint8_t, 16> address{};
  int family = 0;
  std::size_t length = 0;
  if (value[1] == familyIPv4) {
    family = AF_INET;
    length = 4;
  } else if (value[1] == familyIPv6) {
    family = AF_INET6;
    length = 16;
  } else {
    return std::nullopt;
  }
  if (value.size() < 4 + length) return std::nullopt;
  for (std::size_t i = 0; i < length; ++i) {
    address[i] = static_cast<std::uint8_t>(value[4 + i] ^ (mask ? mask[i] : 0));
  }
  char text[INET6_ADDRSTRLEN] = {};
  if (!::inet_ntop(family, address.data(), text, sizeof text)) return std::nullopt;
  return StunReflexive{text, port};
}

}  // namespace

Bytes Stun::newTransactionID() { return security::randomBytes(transactionIDSize); }

Bytes Stun::request(ByteView transactionID) {
  Bytes out(headerSize, 0);
  storeU16BE(out.data(), bindingRequest);
  storeU32BE(out.data() + 4, magicCookie);
  std::copy_n(transactionID.begin(), std::min(transactionID.size(), transactionIDSize),
              out.begin() + 8);
  return out;
}

std::optional<StunReflexive> Stun::reflexiveAddress(ByteView datagram, ByteView transactionID) {
  if (datagram.size() < headerSize || loadU32BE(datagram.data() + 4) != magicCookie) {
    return std::nullopt;
  }
  // The XOR mask: the cookie, then the transaction ID (IPv6 only needs the latter).
  std::array<std::uint8_t, 16> mask{};
  storeU32BE(mask.data(), magicCookie);
  const bool haveID = transactionID.size() == transactionIDSize;
  if (haveID) std::copy(transactionID.begin(), transactionID.end(), mask.begin() + 4);

  const std::size_t end =
      std::min(datagram.size(), headerSize + std::size_t{loadU16BE(datagram.data() + 2)});
  std::optional<StunReflexive> mapped;
  std::size_t at = headerSize;
  while (at + 4 <= end) {
    const std::uint16_t type = loadU16BE(datagram.data() + at);
    const std::size_t length = loadU16BE(datagram.data() + at + 2);
    if (at + 4 + length > end) break;
    const auto value = datagram.subspan(at + 4, length);
    if (type == xorMappedAddress) {
      const bool ipv6 = value.size() >= 2 && value[1] == familyIPv6;
      if (!ipv6 || haveID) {
        if (auto found = decodeAddress(value, mask.data())) return found;
      }
    } else if (type == mappedAddress && !mapped) {
      mapped = decodeAddress(value, nullptr);
    }
    at += 4 + (length + 3) / 4 * 4;
  }
  return mapped;
}

}  // namespace corvel::net
