#include "Ambrel_Host/reach/OwnerSecret.h"

#include "CorvelKit/security/Keychain.h"

namespace ambrel {

using corvel::security::Keychain;

std::optional<std::string> OwnerSecret::load() {
  auto stored = Keychain::get(keychainAccount, keychainService);
  if (!stored) return std::nullopt;
  return normalized(*stored);
}

bool OwnerSecret::save(std::string_view secret) {
  return Keychain::set(secret, keychainAccount, keychainService, /*synchronizable=*/false);
}

void OwnerSecret::remove() { Keychain::remove(keychainAccount, keychainService); }

std::optional<std::string> OwnerSecret::normalized(std::string_view typed) {
  constexpr std::string_view space = " \t\r\n\v\f";
  const auto first = typed.find_first_not_of(space);
  if (first == std::string_view::npos) return std::nullopt;
  return std::string(typed.substr(first, typed.find_last_not_of(space) - first + 1));
}

}  // namespace ambrel
