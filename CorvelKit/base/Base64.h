#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "CorvelKit/base/Bytes.h"

namespace corvel {

// Standard Base64 (RFC 4648, "+/" alphabet, "=" padding), as JSON carries bytes.
struct Base64 {
  static std::string encode(ByteView data);
  // Strict decoding: the length must be a multiple of 4 with correct padding; no whitespace.
  static std::optional<Bytes> decode(std::string_view text);
};

}  // namespace corvel
