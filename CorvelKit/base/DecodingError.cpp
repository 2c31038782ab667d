#include "CorvelKit/base/DecodingError.h"

#include <fmt/format.h>

namespace corvel {

DecodingError DecodingError::keyNotFound(std::string_view key) {
  return {Kind::keyNotFound, fmt::format("No value associated with key \"{}\".", key), {}};
}

DecodingError DecodingError::typeMismatch(std::string_view expected, std::string_view found) {
  return {Kind::typeMismatch,
          fmt::format("Expected to decode {} but found {} instead.", expected, found), {}};
}

void DecodingError::prependPath(std::string_view component) {
  if (path.empty()) {
    path.assign(component);
  } else {
    path = fmt::format("{}.{}", component, path);
  }
}

std::string DecodingError::description() const {
  if (path.empty()) return message;
  return fmt::format("{} (at {})", message, path);
}

}  // namespace corvel
