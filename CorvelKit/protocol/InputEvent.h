#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json_fwd.hpp>

#include "CorvelKit/base/DecodingError.h"
#include "CorvelKit/protocol/MouseButton.h"

namespace corvel::protocol {

// One input event of a controlling client. Coordinates and deltas are interpreted by the input
// injector. JSON: an object with one key, the case name, holding the case's values.
//
//   {"key": {"code": 0, "down": true, "flags": 131072}}      {"text": {"_0": "hello"}}
struct InputEvent;

namespace input_event {

struct MouseMove {
  double x = 0;
  double y = 0;
  friend bool operator==(const MouseMove&, const MouseMove&) = default;
};
struct MouseButtonChange {
  MouseButton button = MouseButton::left;
  bool down = false;
  double x = 0;
  double y = 0;
  friend bool operator==(const MouseButtonChange&, const MouseButtonChange&) = default;
};
struct Scroll {
  double dx = 0;
  double dy = 0;
  friend bool operator==(const Scroll&, const Scroll&) = default;
};
struct SmoothScroll {
  double dx = 0;
  double dy = 0;
  std::int64_t phase = 0;
  std::int64_t momentum = 0;
  friend bool operator==(const SmoothScroll&, const SmoothScroll&) = default;
};
struct MouseDelta {
  double dx = 0;
  double dy = 0;
  friend bool operator==(const MouseDelta&, const MouseDelta&) = default;
};
struct Key {
  std::uint16_t code = 0;  // virtual key code
  bool down = false;
  std::uint64_t flags = 0;  // ModifierBits mask
  friend bool operator==(const Key&, const Key&) = default;
};
struct Text {
  std::string text;  // text to type; unlabelled ("_0") on the wire
  friend bool operator==(const Text&, const Text&) = default;
};

}  // namespace input_event

struct InputEvent
    : std::variant<input_event::MouseMove, input_event::MouseButtonChange, input_event::Scroll,
                   input_event::SmoothScroll, input_event::MouseDelta, input_event::Key,
                   input_event::Text> {
  using MouseMove = input_event::MouseMove;
  using MouseButtonChange = input_event::MouseButtonChange;
  using Scroll = input_event::Scroll;
  using SmoothScroll = input_event::SmoothScroll;
  using MouseDelta = input_event::MouseDelta;
  using Key = input_event::Key;
  using Text = input_event::Text;

  using variant::variant;

  // The case names on the wire, in the order of the alternatives.
  static constexpr std::array<std::string_view, 7> caseNames = {
      "mouseMove", "mouseButton", "scroll", "smoothScroll", "mouseDelta", "key", "text"};
  std::string_view caseName() const { return caseNames[index()]; }
};

void encodeJSON(nlohmann::json& out, const InputEvent& value);
[[nodiscard]] bool decodeJSON(const nlohmann::json& in, InputEvent& out, DecodingError& error);

}  // namespace corvel::protocol
