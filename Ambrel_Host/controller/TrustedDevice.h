#pragma once

#include <string>

#include <nlohmann/json_fwd.hpp>

#include "CorvelKit/base/DecodingError.h"
#include "CorvelKit/protocol/ClientPlatform.h"

namespace ambrel {

// A device admitted without asking: identified by the identity fingerprint its secure handshake
// proved, never by what it claims in its hello.
struct TrustedDevice {
  std::string id;  // identity fingerprint
  std::string name;
  corvel::protocol::ClientPlatform platform = corvel::protocol::ClientPlatform::unknown;

  friend bool operator==(const TrustedDevice&, const TrustedDevice&) = default;
};

void encodeJSON(nlohmann::json& out, const TrustedDevice& value);
[[nodiscard]] bool decodeJSON(const nlohmann::json& in, TrustedDevice& out,
                              corvel::DecodingError& error);

}  // namespace ambrel
