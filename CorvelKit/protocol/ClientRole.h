#pragma once

#include <array>
#include <optional>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "CorvelKit/base/DecodingError.h"

namespace corvel::protocol {

// What a client does in a session.
enum class ClientRole {
  viewer,
  screenSharer,
};

// The strings on the wire, in the order of the cases.
inline constexpr std::array<std::string_view, 2> clientRoleNames = {
    "viewer",
    "screenSharer",
};

constexpr std::string_view wireName(ClientRole value) {
  return clientRoleNames[static_cast<std::size_t>(value)];
}
std::optional<ClientRole> clientRoleFromWire(std::string_view text);

void encodeJSON(nlohmann::json& out, ClientRole value);
[[nodiscard]] bool decodeJSON(const nlohmann::json& in, ClientRole& out, DecodingError& error);

}  // namespace corvel::protocol
