#include "CorvelKit/SecureChannel/SecureChannelError.h"

namespace corvel::secure {

namespace {

class Category final : public std::error_category {
 public:
  const char* name() const noexcept override { return "corvel.secure"; }
  std::string message(int value) const override {
    switch (static_cast<SecureChannelErrc>(value)) {
      case SecureChannelErrc::identityChanged:
        return "This Mac's security identity has changed. If you did not reinstall Ambrel Host, "
               "someone may be impersonating it.";
      case SecureChannelErrc::badSignature:
        return "The other device failed to prove its identity.";
      case SecureChannelErrc::malformed:
      case SecureChannelErrc::outOfOrder:
        return "The secure handshake was invalid.";
      case SecureChannelErrc::tampered:
        return "A message failed its integrity check.";
    }
    return "Unknown secure channel error.";
  }
};

}  // namespace

const std::error_category& secureChannelCategory() {
  static const Category category;
  return category;
}

std::error_code make_error_code(SecureChannelErrc e) {
  return {static_cast<int>(e), secureChannelCategory()};
}

SecureChannelError::SecureChannelError(SecureChannelErrc e) : std::system_error(e), errc_(e) {}

SecureChannelError SecureChannelError::identityChanged(std::string expected, std::string got) {
  SecureChannelError error(SecureChannelErrc::identityChanged);
  error.expected_ = std::move(expected);
  error.got_ = std::move(got);
  return error;
}

}  // namespace corvel::secure
