#pragma once

#include <cstdint>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "CorvelKit/base/DecodingError.h"
#include "CorvelKit/protocol/DisplayInfo.h"

namespace corvel::protocol {

// The host's displays, sent again when they change.
struct DisplayList {
  std::vector<DisplayInfo> displays;
  std::uint32_t activeDisplayID = 0;

  friend bool operator==(const DisplayList&, const DisplayList&) = default;
};

void encodeJSON(nlohmann::json& out, const DisplayList& value);
[[nodiscard]] bool decodeJSON(const nlohmann::json& in, DisplayList& out, DecodingError& error);

}  // namespace corvel::protocol
