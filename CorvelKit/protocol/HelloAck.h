#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "CorvelKit/base/DecodingError.h"
#include "CorvelKit/protocol/DisplayInfo.h"

namespace corvel::protocol {

// The host's answer to an admitted Hello: its name and displays.
struct HelloAck {
  std::string hostName;
  std::vector<DisplayInfo> displays;
  // The display the client is shown.
  std::uint32_t activeDisplayID = 0;

  friend bool operator==(const HelloAck&, const HelloAck&) = default;
};

void encodeJSON(nlohmann::json& out, const HelloAck& value);
[[nodiscard]] bool decodeJSON(const nlohmann::json& in, HelloAck& out, DecodingError& error);

}  // namespace corvel::protocol
