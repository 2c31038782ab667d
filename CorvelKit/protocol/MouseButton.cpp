#include "CorvelKit/protocol/MouseButton.h"

#include <fmt/format.h>

#include "CorvelKit/base/JSONCoding.h"

namespace corvel::protocol {

void encodeJSON(JSON& out, MouseButton value) { out = static_cast<int>(value); }

bool decodeJSON(const JSON& in, MouseButton& out, DecodingError& error) {
  int raw = 0;
  if (!decodeJSON(in, raw, error)) return false;
  switch (static_cast<MouseButton>(raw)) {
    case MouseButton::left:
    case MouseButton::right:
    case MouseButton::middle:
      out = static_cast<MouseButton>(raw);
      return true;
  }
  error = DecodingError::dataCorrupted(
      fmt::format("Cannot initialize MouseButton from invalid Int value {}.", raw));
  return false;
}

}  // namespace corvel::protocol
