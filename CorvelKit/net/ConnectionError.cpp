#include "CorvelKit/net/ConnectionError.h"

#include <string>

namespace corvel::net {

namespace {
class Category final : public std::error_category {
 public:
  const char* name() const noexcept override { return "corvel.connection"; }
  std::string message(int code) const override {
    switch (static_cast<ConnectionErrc>(code)) {
      case ConnectionErrc::invalidArgument: return "Invalid argument";
      case ConnectionErrc::notConnected: return "Socket is not connected";
      case ConnectionErrc::authenticationFailed: return "Authentication error";
      case ConnectionErrc::noBufferSpace: return "No buffer space available";
      case ConnectionErrc::networkUnreachable: return "Network is unreachable";
    }
    return "Unknown connection error " + std::to_string(code);
  }
};
}  // namespace

const std::error_category& connectionCategory() {
  static const Category category;
  return category;
}

std::error_code make_error_code(ConnectionErrc e) {
  return {static_cast<int>(e), connectionCategory()};
}

}  // namespace corvel::net
