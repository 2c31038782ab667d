#include "CorvelKit/protocol/ClientPlatform.h"

#include "CorvelKit/base/JSONCoding.h"

namespace corvel::protocol {

std::optional<ClientPlatform> clientPlatformFromWire(std::string_view text) {
  for (std::size_t i = 0; i < clientPlatformNames.size(); ++i) {
    if (clientPlatformNames[i] == text) return static_cast<ClientPlatform>(i);
  }
  return std::nullopt;
}

void encodeJSON(JSON& out, ClientPlatform value) { out = wireName(value); }

bool decodeJSON(const JSON& in, ClientPlatform& out, DecodingError& error) {
  std::size_t index = 0;
  if (!decodeStringEnumeration(in, clientPlatformNames, "ClientPlatform", index, error)) return false;
  out = static_cast<ClientPlatform>(index);
  return true;
}

}  // namespace corvel::protocol
