// What an X application receives from the injector: events recorded by a focused window on a
// private Xvfb, and the server's own view of the pointer and the keyboard.

#include <gtest/gtest.h>

#include <X11/keysym.h>

#include <boost/asio/io_context.hpp>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <memory>

#include "Ambrel_Host/input/InputInjector.h"
#include "Ambrel_Host/input/XTestEventPoster.h"
#include "CorvelKit/base/ManualClock.h"
#include "tests/support/XEventRecorder.h"
#include "tests/support/XvfbServer.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;
using corvel::protocol::InputEvent;
using corvel::protocol::MouseButton;
using corvel::test::XEventRecorder;
using Type = XEventRecorder::Event::Type;

constexpr auto doubleClickInterval = 500ms;

std::vector<XEventRecorder::Event> only(const std::vector<XEventRecorder::Event>& events, Type type) {
  std::vector<XEventRecorder::Event> kept;
  std::copy_if(events.begin(), events.end(), std::back_inserter(kept),
               [&](const auto& e) { return e.type == type; });
  return kept;
}

class InputDelivery : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xvfb.isRunning()) << xvfb.errors();
    client = std::make_unique<XEventRecorder>(xvfb.displayName());
    ASSERT_TRUE(client->isConnected());
    client->openFocusedWindow();
    superMask = client->modifierMask(XK_Super_L);
    ASSERT_NE(superMask, 0u);
    auto poster = std::make_unique<XTestEventPoster>(xvfb.displayName());
    ASSERT_TRUE(poster->isAvailable());
    InputInjector::Options options;
    options.doubleClickInterval = doubleClickInterval;
    options.executor = io.get_executor();
    options.clock = clock;
    injector = InputInjector::create(std::move(poster), options);
  }

  void send(InputEvent event) {
    injector->inject(std::move(event));
    run();
  }
  void run() {
    io.restart();
    io.run();
  }
  void click(MouseButton button, double x, double y) {
    send(InputEvent::MouseButtonChange{button, true, x, y});
    send(InputEvent::MouseButtonChange{button, false, x, y});
  }
  // Events up to and including the release of `button`.
  std::vector<XEventRecorder::Event> untilRelease(unsigned button) {
    return client->collectUntil([&](const auto& e) { return e.type == Type::buttonRelease && e.button == button; });
  }

  corvel::test::XvfbServer xvfb;  // 1280 × 800
  std::unique_ptr<XEventRecorder> client;
  unsigned superMask = 0;
  boost::asio::io_context io;
  std::shared_ptr<corvel::ManualClock> clock = std::make_shared<corvel::ManualClock>();
  std::shared_ptr<InputInjector> injector;
};

TEST_F(InputDelivery, TheMiddleOfTheDisplayIsTheScreensCentre) {
  send(InputEvent::MouseMove{0.5, 0.5});
  auto motion = client->collectUntil([](const auto& e) { return e.type == Type::motion; });
  ASSERT_FALSE(motion.empty());
  EXPECT_EQ(motion.back().x, 640);
  EXPECT_EQ(motion.back().y, 400);
  EXPECT_EQ(client->pointer(), std::make_pair(640, 400));
}

TEST_F(InputDelivery, ADoubleClickIsTwoPressesAtOnePointWithinTheInterval) {
  click(MouseButton::left, 0.25, 0.75);
  clock->advance(100ms);
  click(MouseButton::left, 0.25, 0.75);
  auto events = untilRelease(1);
  auto rest = untilRelease(1);
  events.insert(events.end(), rest.begin(), rest.end());
  auto presses = only(events, Type::buttonPress);
  ASSERT_EQ(presses.size(), 2u);
  ASSERT_EQ(only(events, Type::buttonRelease).size(), 2u);
  for (const auto& press : presses) {
    EXPECT_EQ(press.button, 1u);
    EXPECT_EQ(std::make_pair(press.x, press.y), std::make_pair(320, 600));
  }
  EXPECT_LT(presses[1].time - presses[0].time, static_cast<std::uint64_t>(doubleClickInterval.count()));
}

TEST_F(InputDelivery, TheLockShortcutIsControlSuperQWithNothingLeftHeld) {
  send(InputEvent::Key{12, true, 0x140000});
  send(InputEvent::Key{12, false, 0x140000});
  // Control and Super go down and up around each of the two q events.
  int controlReleases = 0;
  auto events = client->collectUntil([&](const auto& e) {
    return e.type == Type::keyRelease && e.keysym == XK_Control_L && ++controlReleases == 2;
  });
  ASSERT_EQ(controlReleases, 2);
  auto presses = only(events, Type::keyPress);
  auto q = std::find_if(presses.begin(), presses.end(), [](const auto& e) { return e.keysym == XK_q; });
  ASSERT_NE(q, presses.end());
  EXPECT_EQ(q->state & (XEventRecorder::controlMask | superMask | XEventRecorder::shiftMask),
            XEventRecorder::controlMask | superMask);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().keysym, static_cast<std::uint32_t>(XK_Control_L));
  EXPECT_FALSE(client->isDown(XK_Control_L));
  EXPECT_FALSE(client->isDown(XK_Super_L));
  EXPECT_FALSE(client->isDown(XK_q));

  // No modifier key went down as far as the latch knows: a click afterwards is bare.
  click(MouseButton::left, 0.5, 0.5);
  auto press = only(untilRelease(1), Type::buttonPress);
  ASSERT_EQ(press.size(), 1u);
  EXPECT_EQ(press[0].state & (XEventRecorder::controlMask | superMask), 0u);
}

TEST_F(InputDelivery, AClickWhileShiftIsHeldCarriesShift) {
  send(InputEvent::Key{56, true, 0x20000});
  click(MouseButton::left, 0.5, 0.5);
  auto press = only(untilRelease(1), Type::buttonPress);
  ASSERT_EQ(press.size(), 1u);
  EXPECT_NE(press[0].state & XEventRecorder::shiftMask, 0u);

  send(InputEvent::Key{56, false, 0});
  click(MouseButton::right, 0.5, 0.5);
  press = only(untilRelease(3), Type::buttonPress);
  ASSERT_EQ(press.size(), 1u);
  EXPECT_EQ(press[0].state & XEventRecorder::shiftMask, 0u);
}

TEST_F(InputDelivery, ReleaseAllEndsADragWhereItIs) {
  send(InputEvent::MouseButtonChange{MouseButton::left, true, 0.1, 0.1});
  send(InputEvent::MouseMove{0.3, 0.3});
  injector->releaseAll();
  run();
  auto events = untilRelease(1);
  auto motion = only(events, Type::motion);
  ASSERT_FALSE(motion.empty());
  EXPECT_NE(motion.back().state & XEventRecorder::button1Mask, 0u);  // a drag, not a move
  auto releases = only(events, Type::buttonRelease);
  ASSERT_EQ(releases.size(), 1u);
  EXPECT_EQ(std::make_pair(releases[0].x, releases[0].y), std::make_pair(384, 240));
  unsigned mask = 0;
  client->pointer(&mask);
  EXPECT_EQ(mask & XEventRecorder::button1Mask, 0u);
}

TEST_F(InputDelivery, WheelScrollsBecomeNotches) {
  send(InputEvent::MouseMove{0.5, 0.5});
  struct Case {
    double dy;
    int times;
    std::vector<unsigned> buttons;
  };
  // A wheel scroll counts notches, rounded halves away from zero.
  const std::vector<Case> cases = {
      {2.5, 1, {4, 4, 4}},
      {-2.5, 1, {5, 5, 5}},
      {1, 2, {4, 4}},
      {0.4, 9, {}},
  };
  for (const auto& c : cases) {
    injector->releaseAll();  // forgets the remainder of the last case
    for (int i = 0; i < c.times; ++i) injector->inject(InputEvent::Scroll{0, c.dy});
    run();
    std::vector<unsigned> buttons;
    for (const auto& e : only(client->collect(150ms), Type::buttonPress)) buttons.push_back(e.button);
    EXPECT_EQ(buttons, c.buttons) << "dy " << c.dy << " × " << c.times;
  }
}

}  // namespace
}  // namespace ambrel
