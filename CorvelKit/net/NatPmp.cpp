#include "CorvelKit/net/NatPmp.h"

#include <arpa/inet.h>

#include "CorvelKit/base/BigEndian.h"

namespace corvel::net {

namespace {
constexpr std::uint8_t version = 0;
constexpr std::uint8_t answerBit = 128;
constexpr std::size_t errorSize = 8;
constexpr std::size_t addressAnswerSize = 12;
constexpr std::size_t mappingAnswerSize = 16;
}  // namespace

Bytes NatPmp::externalAddressRequest() { return {version, externalAddressOpcode}; }

Bytes NatPmp::mapRequest(std::uint8_t opcode, std::uint16_t internalPort,
                         std::uint16_t suggestedExternalPort, std::uint32_t lifetime) {
  Bytes out(12, 0);
  out[0] = version;
  out[1] = opcode;
  storeU16BE(out.data() + 4, internalPort);
  storeU16BE(out.data() + 6, suggestedExternalPort);
  storeU32BE(out.data() + 8, lifetime);
  return out;
}

std::optional<NatPmp::Response> NatPmp::parse(ByteView datagram) {
  if (datagram.size() < errorSize || datagram[0] != version || !(datagram[1] & answerBit)) {
    return std::nullopt;
  }
  Response response;
  response.opcode = static_cast<std::uint8_t>(datagram[1] & ~answerBit);
  if (response.opcode != externalAddressOpcode && response.opcode != mapUDPOpcode &&
      response.opcode != mapTCPOpcode) {
    return std::nullopt;
  }
  response.result = loadU16BE(datagram.data() + 2);
  response.epoch = loadU32BE(datagram.data() + 4);
  if (response.result != 0) return response;

  if (response.opcode == externalAddressOpcode) {
    if (datagram.size() < addressAnswerSize) return std::nullopt;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, datagram.data() + 8, text, sizeof text);
    response.address = text;
    return response;
  }
  if (datagram.size() < mappingAnswerSize) return std::nullopt;
  response.internalPort = loadU16BE(datagram.data() + 8);
  response.externalPort = loadU16BE(datagram.data() + 10);
  response.lifetime = loadU32BE(datagram.data() + 12);
  return response;
}

}  // namespace corvel::net
