#pragma once

#include <string>

#include <nlohmann/json_fwd.hpp>

#include "CorvelKit/base/DecodingError.h"

namespace corvel::protocol {

// Clipboard text, in either direction.
struct Clipboard {
  std::string text;

  friend bool operator==(const Clipboard&, const Clipboard&) = default;
};

void encodeJSON(nlohmann::json& out, const Clipboard& value);
[[nodiscard]] bool decodeJSON(const nlohmann::json& in, Clipboard& out, DecodingError& error);

}  // namespace corvel::protocol
