#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ambrel {

// The owner secret, from which every device of the owner derives the key that seals the private
// fields of the presence record. The owner types the same secret on each device
// (`ambrel-host cloud secret`, which reads it from standard input); it lives only in the keychain,
// local to this computer, never in the settings, and is never logged.
struct OwnerSecret {
  static constexpr const char* keychainService = "com.pinebay.corvel.cloud";
  static constexpr const char* keychainAccount = "ownerSecret";

  static std::optional<std::string> load();
  // False when the keychain did not keep it.
  [[nodiscard]] static bool save(std::string_view secret);
  static void remove();
  // The secret as typed: without the line ending and outer white space; nothing when no text is left.
  static std::optional<std::string> normalized(std::string_view typed);
};

}  // namespace ambrel
