#include "CorvelKit/protocol/ClientRole.h"

#include "CorvelKit/base/JSONCoding.h"

namespace corvel::protocol {

std::optional<ClientRole> clientRoleFromWire(std::string_view text) {
  for (std::size_t i = 0; i < clientRoleNames.size(); ++i) {
    if (clientRoleNames[i] == text) return static_cast<ClientRole>(i);
  }
  return std::nullopt;
}

void encodeJSON(JSON& out, ClientRole value) { out = wireName(value); }

bool decodeJSON(const JSON& in, ClientRole& out, DecodingError& error) {
  std::size_t index = 0;
  if (!decodeStringEnumeration(in, clientRoleNames, "ClientRole", index, error)) return false;
  out = static_cast<ClientRole>(index);
  return true;
}

}  // namespace corvel::protocol
