#pragma once

#include <nlohmann/json_fwd.hpp>

#include "CorvelKit/base/DecodingError.h"

namespace corvel::protocol {

// A mouse button; its JSON form is the number.
enum class MouseButton {
  left = 0,
  right = 1,
  middle = 2,
};

void encodeJSON(nlohmann::json& out, MouseButton value);
[[nodiscard]] bool decodeJSON(const nlohmann::json& in, MouseButton& out, DecodingError& error);

}  // namespace corvel::protocol
