#pragma once

#include <array>
#include <optional>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "CorvelKit/base/DecodingError.h"

namespace corvel::protocol {

// The kind of device a client runs on.
enum class ClientPlatform {
  mac,
  iPhone,
  iPad,
  vision,
  watch,
  unknown,
};

// The strings on the wire, in the order of the cases.
inline constexpr std::array<std::string_view, 6> clientPlatformNames = {
    "mac",
    "iPhone",
    "iPad",
    "vision",
    "watch",
    "unknown",
};

constexpr std::string_view wireName(ClientPlatform value) {
  return clientPlatformNames[static_cast<std::size_t>(value)];
}
std::optional<ClientPlatform> clientPlatformFromWire(std::string_view text);

void encodeJSON(nlohmann::json& out, ClientPlatform value);
[[nodiscard]] bool decodeJSON(const nlohmann::json& in, ClientPlatform& out, DecodingError& error);

}  // namespace corvel::protocol
