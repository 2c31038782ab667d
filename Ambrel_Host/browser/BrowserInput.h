#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "CorvelKit/protocol/InputEvent.h"

namespace ambrel {

// The viewer page's input messages: one JSON object per WebSocket text frame, and the input
// events they stand for.
struct BrowserInput {
  struct Message {
    std::string t;  // "move", "down", "up", "scroll", "key", "text"; "decoded" (not input)
    std::optional<double> x, y, dx, dy;
    std::optional<std::int64_t> button;
    std::optional<std::int64_t> code;  // values past the 64-bit signed range read as its maximum
    std::optional<bool> down;
    std::optional<std::uint64_t> flags;
    std::optional<std::string> text;
    std::optional<std::uint64_t> count;  // "decoded": video messages the page is done with
  };

  // Nothing when the text is not a JSON object, `t` is missing, or a key has the wrong type
  // (null counts as absent; whole numbers written with a fraction count as integers).
  static std::optional<Message> decode(std::string_view json);
  // Nothing for an unknown `t`, and for a key code outside 0…65,535.
  static std::optional<corvel::protocol::InputEvent> toInputEvent(const Message& message);
  // Both steps.
  static std::optional<corvel::protocol::InputEvent> parse(std::string_view json);
};

}  // namespace ambrel
