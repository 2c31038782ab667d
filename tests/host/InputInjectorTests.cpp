#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include "Ambrel_Host/input/InputInjector.h"
#include "CorvelKit/base/ManualClock.h"
#include "tests/support/FakeEventPoster.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;
using corvel::protocol::InputEvent;
using corvel::protocol::MouseButton;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class InputInjectorTest : public ::testing::Test {
 protected:
  InputInjectorTest() {
    auto poster = std::make_unique<test::FakeEventPoster>();
    fake = poster.get();
    InputInjector::Options options;
    options.display = {100, 50, 1000, 500};
    options.doubleClickInterval = 500ms;
    options.executor = io.get_executor();
    options.clock = clock;
    injector = InputInjector::create(std::move(poster), options);
  }

  // Runs what was posted to the injector's queue and returns what it posted.
  std::vector<std::string> run() {
    io.restart();
    io.run();
    return fake->take();
  }
  std::vector<std::string> send(InputEvent event) {
    injector->inject(std::move(event));
    return run();
  }
  static InputEvent move(double x, double y) { return InputEvent::MouseMove{x, y}; }
  static InputEvent button(MouseButton b, bool down, double x = -1, double y = -1) {
    return InputEvent::MouseButtonChange{b, down, x, y};
  }
  static InputEvent key(std::uint16_t code, bool down, std::uint64_t flags = 0) {
    return InputEvent::Key{code, down, flags};
  }
  std::vector<std::string> click(MouseButton b, double x, double y) {
    auto events = send(button(b, true, x, y));
    auto up = send(button(b, false, x, y));
    events.insert(events.end(), up.begin(), up.end());
    return events;
  }

  boost::asio::io_context io;
  std::shared_ptr<corvel::ManualClock> clock = std::make_shared<corvel::ManualClock>();
  test::FakeEventPoster* fake = nullptr;
  std::shared_ptr<InputInjector> injector;
};

// ---- Position ----------------------------------------------------------------------------------

TEST_F(InputInjectorTest, MovesMapOntoTheDisplay) {
  EXPECT_THAT(send(move(0.5, 0.5)), ElementsAre("move 600 300"));
  EXPECT_THAT(send(move(0, 0)), ElementsAre("move 100 50"));
  // Beyond the edges: clamped to the last pixel of the right edge and the top edge.
  EXPECT_THAT(send(move(1.5, -0.2)), ElementsAre("move 1099 50"));
  EXPECT_THAT(send(move(1, 1)), ElementsAre("move 1099 549"));
}

TEST_F(InputInjectorTest, NonFiniteCoordinatesAreDropped) {
  double inf = std::numeric_limits<double>::infinity();
  double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_THAT(send(move(nan, 0.5)), IsEmpty());
  EXPECT_THAT(send(button(MouseButton::left, true, inf, 0.5)), IsEmpty());
  EXPECT_THAT(send(InputEvent::MouseDelta{inf, 0}), IsEmpty());
  EXPECT_THAT(send(InputEvent::Scroll{0, nan}), IsEmpty());
  EXPECT_THAT(send(InputEvent::SmoothScroll{nan, 0, 0, 0}), IsEmpty());
}

TEST_F(InputInjectorTest, ButtonWithoutPositionClicksWherePointerIs) {
  send(move(0.5, 0.5));
  EXPECT_THAT(send(button(MouseButton::left, true, -1, 0.3)), ElementsAre("button 1 down click 1"));
  EXPECT_THAT(send(button(MouseButton::left, false, 0.2, 0.2)),
              ElementsAre("move 300 150", "button 1 up click 1"));
}

TEST_F(InputInjectorTest, ButtonsMapToXButtons) {
  EXPECT_THAT(click(MouseButton::right, 0.5, 0.5),
              ElementsAre("move 600 300", "button 3 down click 1", "move 600 300", "button 3 up click 1"));
  EXPECT_THAT(send(button(MouseButton::middle, true)), ElementsAre("button 2 down click 1"));
}

TEST_F(InputInjectorTest, MouseDeltaStartsAtTheCentreAndStaysOnTheDisplay) {
  EXPECT_THAT(send(InputEvent::MouseDelta{10, -5}), ElementsAre("move 610 295"));
  EXPECT_THAT(send(InputEvent::MouseDelta{5000, 0}), ElementsAre("move 1099 295"));
  EXPECT_THAT(send(InputEvent::MouseDelta{0, 5000}), ElementsAre("move 1099 549"));
  EXPECT_THAT(send(InputEvent::MouseDelta{-1e300, -1e300}), ElementsAre("move 100 50"));
}

TEST_F(InputInjectorTest, SwitchingDisplayRecentresAPointerLeftOutside) {
  send(move(0.5, 0.5));  // (600, 300)
  // The next display is to the right; the pointer is not on it.
  injector->inject(InputEvent::MouseDelta{1, 1}, DisplayBounds{1100, 0, 800, 600});
  EXPECT_THAT(run(), ElementsAre("move 1501 301"));
  // A display that holds the pointer (within one point) keeps it.
  injector->setDisplay({0, 0, 1501, 302});
  EXPECT_THAT(send(InputEvent::MouseDelta{-1, -1}), ElementsAre("move 1500 300"));
  // An empty display is ignored.
  injector->setDisplay({0, 0, 0, 10});
  EXPECT_THAT(send(move(1, 1)), ElementsAre("move 1500 301"));
}

TEST_F(InputInjectorTest, DefaultDisplayIsTheWholeScreen) {
  auto poster = std::make_unique<test::FakeEventPoster>();
  auto* screenFake = poster.get();
  poster->screen = {0, 0, 640, 480};
  InputInjector::Options options;
  options.executor = io.get_executor();
  options.clock = clock;
  auto other = InputInjector::create(std::move(poster), options);
  other->inject(move(1, 1));
  run();
  EXPECT_THAT(screenFake->take(), ElementsAre("move 639 479"));
  EXPECT_TRUE(other->isTrusted());
}

TEST_F(InputInjectorTest, UntrustedInjectorStillKeepsItsState) {
  auto poster = std::make_unique<test::FakeEventPoster>();
  poster->available = false;
  auto* untrustedFake = poster.get();
  InputInjector::Options options;
  options.display = {0, 0, 100, 100};
  options.executor = io.get_executor();
  options.clock = clock;
  auto other = InputInjector::create(std::move(poster), options);
  EXPECT_FALSE(other->isTrusted());
  other->inject(button(MouseButton::left, true, 0.5, 0.5));
  other->releaseAll();
  run();
  EXPECT_THAT(untrustedFake->take(), ElementsAre("move 50 50", "button 1 down click 1", "button 1 up click 1"));
}

// ---- Click counting ----------------------------------------------------------------------------

TEST_F(InputInjectorTest, ClickCountingFollowsTimeDistanceAndButton) {
  // Two presses 0.2 s and 3 points apart.
  EXPECT_THAT(click(MouseButton::left, 0.5, 0.5)[1], "button 1 down click 1");
  clock->advance(200ms);
  auto second = click(MouseButton::left, 0.503, 0.5);
  EXPECT_EQ(second[1], "button 1 down click 2");
  EXPECT_EQ(second[3], "button 1 up click 2");
  clock->advance(200ms);
  EXPECT_EQ(click(MouseButton::left, 0.503, 0.5)[1], "button 1 down click 3");
  // 6 points away restarts.
  clock->advance(100ms);
  EXPECT_EQ(click(MouseButton::left, 0.509, 0.5)[1], "button 1 down click 1");
  // Another button in between restarts.
  clock->advance(100ms);
  EXPECT_EQ(click(MouseButton::right, 0.509, 0.5)[1], "button 3 down click 1");
  clock->advance(100ms);
  EXPECT_EQ(click(MouseButton::left, 0.509, 0.5)[1], "button 1 down click 1");
  // The interval itself is too late.
  clock->advance(500ms);
  EXPECT_EQ(click(MouseButton::left, 0.509, 0.5)[1], "button 1 down click 1");
  clock->advance(499ms);
  EXPECT_EQ(click(MouseButton::left, 0.509, 0.5)[1], "button 1 down click 2");
}

TEST_F(InputInjectorTest, ReleaseWithoutPressCarriesCountOne) {
  EXPECT_THAT(send(button(MouseButton::left, false)), ElementsAre("button 1 up click 1"));
}

// ---- Scroll ------------------------------------------------------------------------------------

TEST_F(InputInjectorTest, ScrollBecomesWheelSteps) {
  // Positive dy scrolls up (button 4), negative down (5); positive dx left (6), negative right (7).
  const auto up = ElementsAre("button 4 down click 1", "button 4 up click 1");
  EXPECT_THAT(send(InputEvent::Scroll{0, 1}), up);
  EXPECT_THAT(send(InputEvent::Scroll{0, -2}),
              ElementsAre("button 5 down click 1", "button 5 up click 1", "button 5 down click 1",
                          "button 5 up click 1"));
  EXPECT_THAT(send(InputEvent::Scroll{1, 0}), ElementsAre("button 6 down click 1", "button 6 up click 1"));
  EXPECT_THAT(send(InputEvent::Scroll{-1, 0}), ElementsAre("button 7 down click 1", "button 7 up click 1"));
  // Rounded, halves away from zero; nothing carries over between events.
  EXPECT_EQ(send(InputEvent::Scroll{0, 2.5}).size(), 6u);
  EXPECT_EQ(send(InputEvent::Scroll{0, -2.5}).size(), 6u);
  for (int i = 0; i < 5; ++i) EXPECT_THAT(send(InputEvent::Scroll{0.4, 0.4}), IsEmpty());
}

TEST_F(InputInjectorTest, SmoothScrollAccumulatesUnroundedAndResetsOnANewGesture) {
  for (int i = 0; i < 62; ++i) EXPECT_THAT(send(InputEvent::SmoothScroll{0, 0.4, 2, 0}), IsEmpty());
  EXPECT_THAT(send(InputEvent::SmoothScroll{0, 0.4, 2, 0}), ElementsAre("button 4 down click 1", "button 4 up click 1"));
  EXPECT_THAT(send(InputEvent::SmoothScroll{0, 20, 2, 0}), IsEmpty());  // 25.2 - 50 + 20 = -4.8
  // A new gesture (phase 1) forgets the remainder.
  EXPECT_THAT(send(InputEvent::SmoothScroll{0, 24, 1, 0}), IsEmpty());
  EXPECT_THAT(send(InputEvent::SmoothScroll{0, 1, 2, 0}), ElementsAre("button 4 down click 1", "button 4 up click 1"));
}

TEST_F(InputInjectorTest, HugeScrollIsBounded) {
  auto events = send(InputEvent::Scroll{0, 1e12});
  EXPECT_EQ(events.size(), 2u * ScrollAccumulator::maxStepsPerEvent);
  events = send(InputEvent::Scroll{-1e300, 0});
  EXPECT_EQ(events.size(), 2u * ScrollAccumulator::maxStepsPerEvent);
  EXPECT_EQ(events.front(), "button 7 down click 1");
}

// ---- Keys and flags ----------------------------------------------------------------------------

TEST_F(InputInjectorTest, KeyCarriesTheClientsFlagsExactly) {
  // Q with control and command named, no modifier key held: both pressed around it, in order.
  EXPECT_THAT(send(key(12, true, 0x140000)),
              ElementsAre("key Control_L down", "key Super_L down", "key q down", "key Super_L up",
                          "key Control_L up"));
  EXPECT_THAT(send(key(12, false, 0x140000)),
              ElementsAre("key Control_L down", "key Super_L down", "key q up", "key Super_L up",
                          "key Control_L up"));
  // The latch saw no modifier keys, so a click carries none.
  EXPECT_THAT(click(MouseButton::left, 0.5, 0.5),
              ElementsAre("move 600 300", "button 1 down click 1", "move 600 300", "button 1 up click 1"));
}

TEST_F(InputInjectorTest, HeldModifiersAreNotPressedAgainNorReleased) {
  EXPECT_THAT(send(key(56, true, 0x20000)), ElementsAre("key Shift_L down"));
  EXPECT_THAT(send(key(0, true, 0x20000)), ElementsAre("key a down"));
  // Shift held but not named: it stays down.
  EXPECT_THAT(send(key(0, false, 0)), ElementsAre("key a up"));
  // Right shift named by shift: held already through the left one.
  EXPECT_THAT(send(key(60, true, 0x20000)), ElementsAre("key Shift_R down"));
  EXPECT_THAT(send(key(56, false, 0x20000)), ElementsAre("key Shift_L up"));
  EXPECT_THAT(send(key(1, true, 0x120000)), ElementsAre("key Super_L down", "key s down", "key Super_L up"));
}

TEST_F(InputInjectorTest, AModifierKeyNeverPressesItselfAsAHelper) {
  // Shift released while the client's flags still name shift.
  send(key(56, true, 0x20000));
  EXPECT_THAT(send(key(56, false, 0x20000)), ElementsAre("key Shift_L up"));
  // Command going down with control named.
  EXPECT_THAT(send(key(55, true, 0x140000)),
              ElementsAre("key Control_L down", "key Super_L down", "key Control_L up"));
}

TEST_F(InputInjectorTest, RepeatedKeyDownsAreLeftToTheServersOwnRepeat) {
  EXPECT_THAT(send(key(0, true)), ElementsAre("key a down"));
  EXPECT_THAT(send(key(0, true)), IsEmpty());
  EXPECT_THAT(send(key(0, true, 0x100000)), IsEmpty());
  EXPECT_THAT(send(key(0, false)), ElementsAre("key a up"));
  EXPECT_THAT(send(key(0, true)), ElementsAre("key a down"));
}

TEST_F(InputInjectorTest, ModifierKeysMapToXModifiers) {
  const std::vector<std::pair<std::uint16_t, std::string>> table = {
      {55, "Super_L"}, {54, "Super_R"},   {56, "Shift_L"},   {60, "Shift_R"}, {58, "Alt_L"},
      {61, "Alt_R"},   {59, "Control_L"}, {62, "Control_R"}, {57, "Caps_Lock"}};
  for (auto& [code, name] : table) {
    EXPECT_THAT(send(key(code, true)), ElementsAre("key " + name + " down"));
    EXPECT_THAT(send(key(code, false)), ElementsAre("key " + name + " up"));
  }
}

TEST_F(InputInjectorTest, ShiftClickCarriesTheLatchFlags) {
  send(key(56, true, 0x20000));
  // Shift is held already, so the click needs no helper press.
  EXPECT_THAT(send(button(MouseButton::left, true)), ElementsAre("button 1 down click 1"));
}

TEST_F(InputInjectorTest, KeysOutsideTheTableAreNotPostedButFnReachesTheLatch) {
  EXPECT_THAT(send(key(10, true)), IsEmpty());    // ISO section key
  EXPECT_THAT(send(key(200, true)), IsEmpty());
  EXPECT_THAT(send(key(65535, true, 0x140000)), IsEmpty());
  EXPECT_THAT(send(key(63, true, 0x800000)), IsEmpty());  // Fn: X never sees it
  // Function is never pressed as a helper, so the click stays bare.
  EXPECT_THAT(send(button(MouseButton::left, true)), ElementsAre("button 1 down click 1"));
  // Nothing to release for the ignored keys.
  EXPECT_THAT(send(key(0, false)), ElementsAre("key a up"));
  injector->releaseAll();
  EXPECT_THAT(run(), ElementsAre("button 1 up click 1"));
}

// ---- Text --------------------------------------------------------------------------------------

TEST_F(InputInjectorTest, TextIsTypedInChunksOfTwentyUnits) {
  std::string text;
  for (int i = 0; i < 45; ++i) text.push_back(static_cast<char>('a' + i % 26));
  auto events = send(InputEvent::Text{text});
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0], "text " + text.substr(0, 20));
  EXPECT_EQ(events[1], "text " + text.substr(20, 20));
  EXPECT_EQ(events[2], "text " + text.substr(40, 5));
  EXPECT_THAT(send(InputEvent::Text{""}), IsEmpty());
}

TEST_F(InputInjectorTest, SurrogatePairCutByAChunkIsTypedWithTheNextChunk) {
  // 19 units, then a pair at units 19–20, then 3 more: the pair goes with the second chunk.
  std::string text(19, 'x');
  text += "\U0001F600abc";
  EXPECT_THAT(send(InputEvent::Text{text}),
              ElementsAre("text " + std::string(19, 'x'), "text \U0001F600abc"));
  // A pair that fits stays in its chunk.
  text = std::string(18, 'y') + "\U0001F600" + "z";
  EXPECT_THAT(send(InputEvent::Text{text}), ElementsAre("text " + std::string(18, 'y') + "\U0001F600", "text z"));
}

TEST_F(InputInjectorTest, OverlongTextIsCutAtTheLimit) {
  std::string text(InputInjector::maxTextUnits + 100, 'q');
  auto events = send(InputEvent::Text{text});
  ASSERT_EQ(events.size(), InputInjector::maxTextUnits / InputInjector::textChunkUnits + 1);
  std::size_t typed = 0;
  for (auto& e : events) typed += e.size() - 5;
  EXPECT_EQ(typed, InputInjector::maxTextUnits);
  // A pair that would cross the limit is left out whole.
  text = std::string(InputInjector::maxTextUnits - 1, 'q') + "\U0001F600";
  events = send(InputEvent::Text{text});
  typed = 0;
  for (auto& e : events) typed += e.size() - 5;
  EXPECT_EQ(typed, InputInjector::maxTextUnits - 1);
}

TEST_F(InputInjectorTest, RemappedKeysAreRestoredOnceTypingPauses) {
  send(InputEvent::Text{"é"});
  EXPECT_TRUE(fake->remapped);
  clock->advance(300ms);
  EXPECT_THAT(send(InputEvent::Text{"è"}), ElementsAre("text è"));
  clock->advance(300ms);  // 600 ms after the first, 300 after the last
  EXPECT_THAT(run(), IsEmpty());
  clock->advance(200ms);
  EXPECT_THAT(run(), ElementsAre("restore"));
  EXPECT_FALSE(fake->remapped);
  clock->advance(10s);
  EXPECT_THAT(run(), IsEmpty());
}

// ---- Release -----------------------------------------------------------------------------------

TEST_F(InputInjectorTest, ReleaseAllAfterADrag) {
  send(button(MouseButton::left, true, 0.1, 0.1));
  send(move(0.3, 0.3));
  send(key(56, true, 0x20000));
  send(key(0, true, 0x20000));
  injector->releaseAll();
  EXPECT_THAT(run(), ElementsAre("button 1 up click 1", "key a up", "key Shift_L up"));
  // The latch is new: a click carries no modifiers; nothing is left to release.
  injector->releaseAll();
  EXPECT_THAT(run(), IsEmpty());
}

TEST_F(InputInjectorTest, EntryPointsMayBeCalledFromAnyThreadAndKeepTheirOrder) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this] {
      for (int i = 0; i < 50; ++i) injector->inject(move(0.5, 0.5));
    });
  }
  for (auto& t : threads) t.join();
  injector->inject(move(0, 0));
  auto events = run();
  ASSERT_EQ(events.size(), 201u);
  EXPECT_EQ(events.back(), "move 100 50");
}

TEST_F(InputInjectorTest, WorkQueuedForAGoneInjectorDoesNothing) {
  injector->inject(move(0.5, 0.5));
  injector.reset();  // the fake poster goes with it
  io.restart();
  EXPECT_EQ(io.run(), 1u);
}

}  // namespace
}  // namespace ambrel
