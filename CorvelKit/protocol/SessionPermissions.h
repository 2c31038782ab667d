#pragma once


#include <nlohmann/json_fwd.hpp>

#include "CorvelKit/base/DecodingError.h"

namespace corvel::protocol {

// What an admitted client may do, sent after HelloAck.
struct SessionPermissions {
  bool canControl = false;
  bool isSupportSession = false;

  friend bool operator==(const SessionPermissions&, const SessionPermissions&) = default;
};

void encodeJSON(nlohmann::json& out, const SessionPermissions& value);
[[nodiscard]] bool decodeJSON(const nlohmann::json& in, SessionPermissions& out, DecodingError& error);

}  // namespace corvel::protocol
