#pragma once

#include <optional>
#include <string>
#include <system_error>
#include <type_traits>

namespace corvel::secure {

// The security failure of a connection. Its message is the text shown to the user.
enum class SecureChannelErrc {
  identityChanged = 1,
  badSignature,
  malformed,
  outOfOrder,
  tampered,
};

const std::error_category& secureChannelCategory();
std::error_code make_error_code(SecureChannelErrc e);

// The thrown form. `identityChanged` carries the pinned and the presented fingerprints.
class SecureChannelError : public std::system_error {
 public:
  explicit SecureChannelError(SecureChannelErrc e);
  static SecureChannelError identityChanged(std::string expected, std::string got);

  SecureChannelErrc errc() const { return errc_; }
  // Set for identityChanged only.
  const std::optional<std::string>& expected() const { return expected_; }
  const std::optional<std::string>& got() const { return got_; }

 private:
  SecureChannelErrc errc_;
  std::optional<std::string> expected_;
  std::optional<std::string> got_;
};

}  // namespace corvel::secure

template <>
struct std::is_error_code_enum<corvel::secure::SecureChannelErrc> : std::true_type {};
