#pragma once

#include <string>
#include <string_view>

namespace corvel::security {

// The random token the host keeps for its owner's devices: 32 random bytes in Base64 (44
// characters). Opaque to both sides; only equality matters.
struct AuthToken {
  static std::string generate();
  // Equality in time that depends only on the lengths, never on where the strings differ. An
  // empty token matches nothing, not even another empty one.
  static bool matches(std::string_view a, std::string_view b);
};

}  // namespace corvel::security
