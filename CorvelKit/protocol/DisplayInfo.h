#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "CorvelKit/base/DecodingError.h"

namespace corvel::protocol {

// One display of the host, as listed to clients.
struct DisplayInfo {
  // The display identifier.
  std::uint32_t id = 0;
  std::string name;
  // Size in points.
  std::int64_t width = 0;
  std::int64_t height = 0;

  friend bool operator==(const DisplayInfo&, const DisplayInfo&) = default;
};

void encodeJSON(nlohmann::json& out, const DisplayInfo& value);
[[nodiscard]] bool decodeJSON(const nlohmann::json& in, DisplayInfo& out, DecodingError& error);

}  // namespace corvel::protocol
