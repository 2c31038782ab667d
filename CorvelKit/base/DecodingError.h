#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace corvel {

// Why a JSON payload could not be read as the requested type. Receivers log it and ignore the
// message; the connection stays up.
struct DecodingError {
  enum class Kind {
    dataCorrupted,  // not JSON, or a value that is not acceptable for its type
    keyNotFound,    // a required key is missing
    typeMismatch,   // a value of the wrong JSON type (or a number out of the target's range)
  };

  Kind kind = Kind::dataCorrupted;
  std::string message;
  // Keys (and array indices) from the top of the document down to the failing value,
  // joined by "."; empty for the document itself.
  std::string path;

  static DecodingError dataCorrupted(std::string message) {
    return {Kind::dataCorrupted, std::move(message), {}};
  }
  static DecodingError keyNotFound(std::string_view key);
  static DecodingError typeMismatch(std::string_view expected, std::string_view found);

  // Adds a containing key in front of the path, as the error travels up.
  void prependPath(std::string_view component);
  // The message, followed by the path when there is one.
  std::string description() const;
};

}  // namespace corvel
