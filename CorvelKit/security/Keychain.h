#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace corvel::security {

class SecretStore;

// Generic-password items holding strings (stored as their UTF-8 bytes). Every operation names an
// account, a service and optionally an access group. By default the items live in the local
// secret store (LocalSecretStore); another backend can be put in its place.
struct Keychain {
  static std::optional<std::string> get(std::string_view account, std::string_view service,
                                        const std::optional<std::string>& accessGroup = {});
  // Replaces the item. A synchronizable item that the store refuses is saved local-only instead.
  // False when neither attempt was saved; the caller then keeps the value in memory.
  [[nodiscard]] static bool set(std::string_view value, std::string_view account, std::string_view service,
                  bool synchronizable, const std::optional<std::string>& accessGroup = {});
  static void remove(std::string_view account, std::string_view service,
                     const std::optional<std::string>& accessGroup = {});

  // Puts `store` in place of the current backend and returns the previous one.
  static std::shared_ptr<SecretStore> useStore(std::shared_ptr<SecretStore> store);
};

}  // namespace corvel::security
