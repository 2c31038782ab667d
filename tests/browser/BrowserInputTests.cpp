#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "Ambrel_Host/browser/BrowserInput.h"

namespace ambrel {
namespace {

using corvel::protocol::InputEvent;
using corvel::protocol::MouseButton;

TEST(BrowserInputTest, MessagesBecomeTheirInputEvents) {
  struct Case {
    std::string json;
    std::optional<InputEvent> event;
  };
  const Case cases[] = {
      {R"({"t":"move","x":0.5,"y":0.5})", InputEvent::MouseMove{0.5, 0.5}},
      {R"({"t":"move"})", InputEvent::MouseMove{0, 0}},
      // Presses without a position happen where the pointer is (-1).
      {R"({"t":"down"})", InputEvent::MouseButtonChange{MouseButton::left, true, -1, -1}},
      {R"({"t":"down","button":1,"x":0.1,"y":0.1})",
       InputEvent::MouseButtonChange{MouseButton::right, true, 0.1, 0.1}},
      {R"({"t":"up","button":2,"x":1})", InputEvent::MouseButtonChange{MouseButton::middle, false, 1, -1}},
      {R"({"t":"up","button":0})", InputEvent::MouseButtonChange{MouseButton::left, false, -1, -1}},
      {R"({"t":"up","button":7})", InputEvent::MouseButtonChange{MouseButton::left, false, -1, -1}},
      {R"({"t":"up","button":-1})", InputEvent::MouseButtonChange{MouseButton::left, false, -1, -1}},
      {R"({"t":"scroll","dy":-3.5})", InputEvent::Scroll{0, -3.5}},
      {R"({"t":"scroll","dx":2,"dy":1})", InputEvent::Scroll{2, 1}},
      {R"({"t":"key","code":0,"down":true})", InputEvent::Key{0, true, 0}},
      {R"({"t":"key","code":0})", InputEvent::Key{0, false, 0}},
      {R"({"t":"key"})", InputEvent::Key{0, false, 0}},
      {R"({"t":"key","code":65535,"down":true,"flags":18446744073709551615})",
       InputEvent::Key{65535, true, ~0ull}},
      {R"({"t":"key","code":56,"down":true,"flags":9223372036854775809})",
       InputEvent::Key{56, true, (1ull << 63) + 1}},
      {R"({"t":"key","code":12.0,"down":true,"flags":131072.0})", InputEvent::Key{12, true, 131072}},
      {R"({"t":"text","text":"héllo 👋"})", InputEvent::Text{"héllo 👋"}},
      {R"({"t":"text"})", InputEvent::Text{""}},
      // Unknown keys are ignored; null counts as absent.
      {R"({"t":"move","x":0.25,"y":null,"extra":{"a":[1,2]}})", InputEvent::MouseMove{0.25, 0}},
      // Dropped: unknown or missing type, wrong JSON types, key codes out of range.
      {R"({"t":"wheel","dy":1})", std::nullopt},
      {R"({"x":1})", std::nullopt},
      {R"({"t":null})", std::nullopt},
      {R"({"t":5})", std::nullopt},
      {R"({"t":"move","x":"0.5"})", std::nullopt},
      {R"({"t":"down","button":1.5})", std::nullopt},
      {R"({"t":"key","code":65536,"down":true})", std::nullopt},
      {R"({"t":"key","code":-1,"down":true})", std::nullopt},
      {R"({"t":"key","code":99999999999999999999,"down":true})", std::nullopt},
      {R"({"t":"key","code":1,"down":1})", std::nullopt},
      {R"({"t":"key","code":1,"flags":-1})", std::nullopt},
      {R"({"t":"text","text":42})", std::nullopt},
      {R"(["t","move"])", std::nullopt},
      {R"({"t":"move")", std::nullopt},
      {"", std::nullopt},
      {std::string(100000, '[') + R"({"t":"move"})", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(BrowserInput::parse(c.json), c.event) << c.json;
}

}  // namespace
}  // namespace ambrel
