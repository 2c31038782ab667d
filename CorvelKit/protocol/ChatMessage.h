#pragma once

#include <string>

#include <nlohmann/json_fwd.hpp>

#include "CorvelKit/base/Date.h"
#include "CorvelKit/base/DecodingError.h"
#include "CorvelKit/base/UUID.h"

namespace corvel::protocol {

// One chat message.
struct ChatMessage {
  UUID id;
  std::string text;
  std::string sender;
  Date sentAt;

  friend bool operator==(const ChatMessage&, const ChatMessage&) = default;
};

void encodeJSON(nlohmann::json& out, const ChatMessage& value);
[[nodiscard]] bool decodeJSON(const nlohmann::json& in, ChatMessage& out, DecodingError& error);

}  // namespace corvel::protocol
