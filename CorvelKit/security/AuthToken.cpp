#include "CorvelKit/security/AuthToken.h"

#include <array>
#include <cstdint>

#include "CorvelKit/base/Base64.h"
#include "CorvelKit/security/RandomBytes.h"

namespace corvel::security {

std::string AuthToken::generate() {
  std::array<std::uint8_t, 32> random{};
  fillRandom(random);
  std::string token = Base64::encode(random);
  secureWipe(random.data(), random.size());
  return token;
}

bool AuthToken::matches(std::string_view a, std::string_view b) {
  // An empty token proves nothing: a host whose stored token is empty must not admit a device
  // that presents an empty one.
  if (a.empty() || b.empty() || a.size() != b.size()) return false;
  // Every byte pair is visited whatever the first difference; volatile keeps the loop whole.
  volatile std::uint8_t difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    difference = difference | static_cast<std::uint8_t>(a[i] ^ b[i]);
  }
  return difference == 0;
}

}  // namespace corvel::security
