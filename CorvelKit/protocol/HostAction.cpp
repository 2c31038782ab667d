#include "CorvelKit/protocol/HostAction.h"

#include "CorvelKit/base/JSONCoding.h"

namespace corvel::protocol {

std::optional<HostAction> hostActionFromWire(std::string_view text) {
  for (std::size_t i = 0; i < hostActionNames.size(); ++i) {
    if (hostActionNames[i] == text) return static_cast<HostAction>(i);
  }
  return std::nullopt;
}

void encodeJSON(JSON& out, HostAction value) { out = wireName(value); }

bool decodeJSON(const JSON& in, HostAction& out, DecodingError& error) {
  std::size_t index = 0;
  if (!decodeStringEnumeration(in, hostActionNames, "HostAction", index, error)) return false;
  out = static_cast<HostAction>(index);
  return true;
}

}  // namespace corvel::protocol
