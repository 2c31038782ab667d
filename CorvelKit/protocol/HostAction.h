#pragma once

#include <array>
#include <optional>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "CorvelKit/base/DecodingError.h"

namespace corvel::protocol {

// A command a client asks the host to carry out. Its payload is the bare JSON string.
enum class HostAction {
  lockScreen,
  sleepDisplay,
  restart,
};

// The strings on the wire, in the order of the cases.
inline constexpr std::array<std::string_view, 3> hostActionNames = {
    "lockScreen",
    "sleepDisplay",
    "restart",
};

constexpr std::string_view wireName(HostAction value) {
  return hostActionNames[static_cast<std::size_t>(value)];
}
std::optional<HostAction> hostActionFromWire(std::string_view text);

void encodeJSON(nlohmann::json& out, HostAction value);
[[nodiscard]] bool decodeJSON(const nlohmann::json& in, HostAction& out, DecodingError& error);

}  // namespace corvel::protocol
