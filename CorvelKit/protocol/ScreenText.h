#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "CorvelKit/base/DecodingError.h"

namespace corvel::protocol {

// The text recognised on the host's screen.
struct ScreenText {
  std::vector<std::string> lines;
  std::optional<std::string> frontmostApp;

  friend bool operator==(const ScreenText&, const ScreenText&) = default;
};

void encodeJSON(nlohmann::json& out, const ScreenText& value);
[[nodiscard]] bool decodeJSON(const nlohmann::json& in, ScreenText& out, DecodingError& error);

}  // namespace corvel::protocol
