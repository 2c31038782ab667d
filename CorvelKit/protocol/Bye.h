#pragma once

#include <string>

#include <nlohmann/json_fwd.hpp>

#include "CorvelKit/base/DecodingError.h"

namespace corvel::protocol {

// Ends the session, in either direction.
struct Bye {
  std::string reason;

  friend bool operator==(const Bye&, const Bye&) = default;
};

void encodeJSON(nlohmann::json& out, const Bye& value);
[[nodiscard]] bool decodeJSON(const nlohmann::json& in, Bye& out, DecodingError& error);

}  // namespace corvel::protocol
