// Pairing links arrive from QR codes, pastes and other apps: any text must parse or be refused,
// and whatever parses must survive being written and read again.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "CorvelKit/net/Pairing.h"
#include "CorvelKit/security/AccessCode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto info = corvel::net::Pairing::parse(text);
  if (!info) return 0;
  using corvel::security::AccessCode;
  if (info->name.empty() || AccessCode::characterCount(AccessCode::normalize(info->code)) != 12) {
    std::abort();
  }
  auto again = corvel::net::Pairing::parse(corvel::net::Pairing::url(*info));
  if (!again || !(*again == *info)) std::abort();
  return 0;
}
