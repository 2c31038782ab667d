#pragma once

#include <cstdint>

#include <nlohmann/json_fwd.hpp>

#include "CorvelKit/base/DecodingError.h"

namespace corvel::protocol {

// A client's choice of the display to watch.
struct SelectDisplay {
  std::uint32_t displayID = 0;

  friend bool operator==(const SelectDisplay&, const SelectDisplay&) = default;
};

void encodeJSON(nlohmann::json& out, const SelectDisplay& value);
[[nodiscard]] bool decodeJSON(const nlohmann::json& in, SelectDisplay& out, DecodingError& error);

}  // namespace corvel::protocol
