#include <gtest/gtest.h>

#include "tools/corvel/InputScript.h"

namespace corvel::tool {
namespace {

using namespace protocol::input_event;
using protocol::InputEvent;
using protocol::MouseButton;

TEST(InputScript, ReadsEveryStep) {
  auto parsed = InputScript::parse(" move 0.25 0.5 ;click right; wait 100;key 12 0x140000; type Hi, there; scroll 0 -2;;");
  ASSERT_TRUE(std::holds_alternative<InputScript>(parsed)) << std::get<std::string>(parsed);
  const auto& steps = std::get<InputScript>(parsed).steps;
  std::vector<InputScript::Step> expected{
      InputEvent{MouseMove{0.25, 0.5}},
      InputEvent{MouseButtonChange{MouseButton::right, true, -1, -1}},
      InputEvent{MouseButtonChange{MouseButton::right, false, -1, -1}},
      std::chrono::milliseconds(100),
      InputEvent{Key{12, true, 0x140000}},
      InputEvent{Key{12, false, 0x140000}},
      InputEvent{Text{"Hi, there"}},
      InputEvent{Scroll{0, -2}},
  };
  EXPECT_EQ(steps, expected);
}

TEST(InputScript, RefusesWhatItCannotRead) {
  for (auto bad : {"move 1", "move a b", "click sideways", "key", "key 70000", "key 12 0xZZ",
                   "type", "wait -5", "wait soon", "jump 1 2", "scroll 1"}) {
    EXPECT_TRUE(std::holds_alternative<std::string>(InputScript::parse(bad))) << bad;
  }
}

}  // namespace
}  // namespace corvel::tool
