#include "Ambrel_Host/browser/BrowserInput.h"

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

namespace ambrel {

namespace {

using corvel::protocol::InputEvent;
using corvel::protocol::MouseButton;
using nlohmann::json;

// Reads one optional key into `out`; false when it is there with the wrong type.
bool readNumber(const json& object, const char* key, std::optional<double>& out) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return true;
  if (!it->is_number()) return false;
  out = it->get<double>();
  return true;
}

// A whole number: a JSON integer, or a number with a zero fraction inside the range.
bool readSigned(const json& object, const char* key, std::optional<std::int64_t>& out) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return true;
  if (it->is_number_unsigned()) {
    const auto value = it->get<std::uint64_t>();
    out = value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
              ? std::numeric_limits<std::int64_t>::max()
              : static_cast<std::int64_t>(value);
    return true;
  }
  if (it->is_number_integer()) {
    out = it->get<std::int64_t>();
    return true;
  }
  if (it->is_number_float()) {
    const double value = it->get<double>();
    if (!std::isfinite(value) || std::trunc(value) != value || value < -9.2e18 || value > 9.2e18) {
      return false;
    }
    out = static_cast<std::int64_t>(value);
    return true;
  }
  return false;
}

bool readUnsigned(const json& object, const char* key, std::optional<std::uint64_t>& out) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return true;
  if (it->is_number_unsigned()) {
    out = it->get<std::uint64_t>();
    return true;
  }
  if (it->is_number_float()) {
    const double value = it->get<double>();
    if (!std::isfinite(value) || std::trunc(value) != value || value < 0 || value >= 1.8e19) {
      return false;
    }
    out = static_cast<std::uint64_t>(value);
    return true;
  }
  return false;
}

bool readBool(const json& object, const char* key, std::optional<bool>& out) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return true;
  if (!it->is_boolean()) return false;
  out = it->get<bool>();
  return true;
}

bool readString(const json& object, const char* key, std::optional<std::string>& out) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return true;
  if (!it->is_string()) return false;
  out = it->get<std::string>();
  return true;
}

// Messages are flat objects. Deep nesting is refused before parsing, so that a hostile frame
// cannot make the parser or the value's destructor recurse a million levels.
bool nestsTooDeep(std::string_view text) {
  constexpr int limit = 16;
  int depth = 0;
  bool inString = false;
  bool escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

MouseButton buttonOf(std::optional<std::int64_t> button) {
  if (button == 1) return MouseButton::right;
  if (button == 2) return MouseButton::middle;
  return MouseButton::left;
}

}  // namespace

std::optional<BrowserInput::Message> BrowserInput::decode(std::string_view text) {
  if (nestsTooDeep(text)) return std::nullopt;
  json object = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!object.is_object()) return std::nullopt;
  Message m;
  std::optional<std::string> type;
  if (!readString(object, "t", type) || !type) return std::nullopt;
  m.t = std::move(*type);
  const bool ok = readNumber(object, "x", m.x) && readNumber(object, "y", m.y) &&
                  readNumber(object, "dx", m.dx) && readNumber(object, "dy", m.dy) &&
                  readSigned(object, "button", m.button) && readSigned(object, "code", m.code) &&
                  readBool(object, "down", m.down) && readUnsigned(object, "flags", m.flags) &&
                  readString(object, "text", m.text) && readUnsigned(object, "count", m.count);
  if (!ok) return std::nullopt;
  return m;
}

std::optional<InputEvent> BrowserInput::toInputEvent(const Message& m) {
  if (m.t == "move") return InputEvent(InputEvent::MouseMove{m.x.value_or(0), m.y.value_or(0)});
  if (m.t == "down" || m.t == "up") {
    return InputEvent(InputEvent::MouseButtonChange{buttonOf(m.button), m.t == "down",
                                                    m.x.value_or(-1), m.y.value_or(-1)});
  }
  if (m.t == "scroll") return InputEvent(InputEvent::Scroll{m.dx.value_or(0), m.dy.value_or(0)});
  if (m.t == "key") {
    const auto code = m.code.value_or(0);
    if (code < 0 || code > 0xFFFF) return std::nullopt;
    return InputEvent(
        InputEvent::Key{static_cast<std::uint16_t>(code), m.down.value_or(false), m.flags.value_or(0)});
  }
  if (m.t == "text") return InputEvent(InputEvent::Text{m.text.value_or(std::string())});
  return std::nullopt;
}

std::optional<InputEvent> BrowserInput::parse(std::string_view json) {
  auto message = decode(json);
  if (!message) return std::nullopt;
  return toInputEvent(*message);
}

}  // namespace ambrel
