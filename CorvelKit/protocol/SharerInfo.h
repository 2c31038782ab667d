#pragma once

#include <cstdint>

#include <nlohmann/json_fwd.hpp>

#include "CorvelKit/base/DecodingError.h"

namespace corvel::protocol {

// Sent by a client that shares its own screen with the host.
struct SharerInfo {
  // The orientation code of the shared picture.
  std::uint32_t orientation = 0;

  friend bool operator==(const SharerInfo&, const SharerInfo&) = default;
};

void encodeJSON(nlohmann::json& out, const SharerInfo& value);
[[nodiscard]] bool decodeJSON(const nlohmann::json& in, SharerInfo& out, DecodingError& error);

}  // namespace corvel::protocol
