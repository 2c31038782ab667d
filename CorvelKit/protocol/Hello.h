#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "CorvelKit/base/DecodingError.h"
#include "CorvelKit/protocol/ClientPlatform.h"
#include "CorvelKit/protocol/ClientRole.h"

namespace corvel::protocol {

// The first message of a client after the secure handshake: who it is and what it can do.
// The host decides admission on it. `iCloudToken` is a credential and never goes to a log.
struct Hello {
  std::string deviceName;
  ClientPlatform platform = ClientPlatform::unknown;
  // The client's protocol version (informational).
  std::int64_t protocolVersion = 0;
  std::optional<std::string> deviceID;
  // Absent means a viewer.
  std::optional<ClientRole> role;
  std::optional<bool> supportsHEVC;
  std::optional<bool> supportsHDR;
  // The owner's auth token, when the client has one.
  std::optional<std::string> iCloudToken;
  // The display the client would like to watch.
  std::optional<std::uint32_t> preferredDisplayID;

  friend bool operator==(const Hello&, const Hello&) = default;
};

void encodeJSON(nlohmann::json& out, const Hello& value);
[[nodiscard]] bool decodeJSON(const nlohmann::json& in, Hello& out, DecodingError& error);

}  // namespace corvel::protocol
