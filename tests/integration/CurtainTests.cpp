#include <signal.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "Ambrel_Host/overlays/GammaCurtain.h"
#include "CorvelKit/media/VideoPacket.h"
#include "CorvelKit/media/VideoReceiver.h"
#include "CorvelKit/protocol/Bye.h"
#include "tests/support/HostHarness.h"
#include "tests/support/HostProcess.h"
#include "tests/support/ScreenPainter.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/XorgDummyServer.h"

// Last: Xlib defines names (None, Bool) that other headers use.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace ambrel {
namespace {

using corvel::protocol::MessageType;
using corvel::test::colourDistance;
using corvel::test::rgbAt;
using namespace std::chrono_literals;

const std::string kHost = std::string(CORVEL_BIN_DIR) + "/ambrel-host";
constexpr std::uint32_t kRed = 0xC03030, kGreen = 0x30B040;
constexpr int kTolerance = 24;

bool allBlack(const std::vector<GammaCurtain::Ramp>& ramps) {
  for (const auto& r : ramps) {
    for (const auto* channel : {&r.red, &r.green, &r.blue}) {
      for (auto v : *channel) {
        if (v != 0) return false;
      }
    }
  }
  return !ramps.empty();
}

// Presses the keys named by `keysyms` together through XTest, as a person at the computer would,
// and lets them go in the opposite order.
void pressTogether(const std::string& display, const std::vector<KeySym>& keysyms) {
  Display* x = XOpenDisplay(display.c_str());
  ASSERT_NE(x, nullptr);
  for (auto k : keysyms) XTestFakeKeyEvent(x, XKeysymToKeycode(x, k), True, CurrentTime);
  for (auto it = keysyms.rbegin(); it != keysyms.rend(); ++it) {
    XTestFakeKeyEvent(x, XKeysymToKeycode(x, *it), False, CurrentTime);
  }
  XSync(x, False);
  XCloseDisplay(x);
}

// Polls the display's ramps until `wanted` holds of them.
template <class Wanted>
bool rampsBecome(const std::string& display, Wanted wanted, std::chrono::milliseconds timeout = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    auto ramps = GammaCurtain::readRamps(display);
    if (ramps && wanted(*ramps)) return true;
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

// Whether the device decoded a picture whose probe points show what was drawn: green inside the
// square at (200, 150)–(440, 330) of the main monitor, red around it.
bool seesDrawnColours(test::TestDevice& device, corvel::media::VideoReceiver& receiver, bool& seen,
                      std::size_t& consumed) {
  std::lock_guard lock(device.events.mutex);
  auto& messages = device.events.messages;
  for (; consumed < messages.size(); ++consumed) {
    if (messages[consumed].first == MessageType::video) receiver.receive(messages[consumed].second);
  }
  return seen;
}

// With blankScreen on, a viewer's session blacks out every physical output (their gamma ramps read
// back zero) while the viewer's decoded frames show the real picture. The outputs come back when
// the session ends, when the person at the computer presses Ctrl+Alt+Super+period (which stops
// the session; with Shift as well it does nothing), when the host quits, and when it is killed
// outright.
TEST(CurtainTest, OutputsGoBlackWhileTheViewerSeesThePictureAndComeBackHoweverTheSessionEnds) {
  corvel::test::XorgDummyServer server;
  ASSERT_TRUE(server.isRunning()) << server.errors();
  ASSERT_EQ(server.arrange({{640, 480, 0, 0}, {640, 480, 640, 0}}), "");
  const std::string display = server.displayName();
  corvel::test::ScreenPainter painter(display);
  ASSERT_TRUE(painter.isConnected());
  painter.fill(0, 0, 1280, 480, kRed);
  painter.fill(200, 150, 240, 180, kGreen);

  const auto normal = GammaCurtain::readRamps(display);
  ASSERT_TRUE(normal);
  ASSERT_GE(normal->size(), 2u);
  ASSERT_FALSE(allBlack(*normal));
  auto isNormal = [&](const std::vector<GammaCurtain::Ramp>& ramps) { return ramps == *normal; };

  corvel::test::TemporaryHome deviceHome;
  enum class Ending { viewerLeaves, shortcut, quit, kill };
  for (auto ending : {Ending::viewerLeaves, Ending::shortcut, Ending::quit, Ending::kill}) {
    SCOPED_TRACE(static_cast<int>(ending));
    corvel::test::HostProcess host(
        kHost, {.settings = R"({"askBeforeConnecting": false, "blankScreen": true})",
                .environment = {{"DISPLAY", display}}});
    ASSERT_TRUE(host.isReady()) << host.process().errors();

    auto device = std::make_unique<test::TestDevice>("Viewer", host.accessCode());
    ASSERT_TRUE(device->waitReady());
    device->sendHello();
    ASSERT_TRUE(device->waitForMessage(MessageType::helloAck, 20s));

    EXPECT_TRUE(rampsBecome(display, allBlack)) << host.process().errors();
    // What the people at the computer no longer see, the viewer still does.
    bool seen = false;
    std::size_t consumed = 0;
    corvel::media::VideoReceiver receiver;
    receiver.onPicture = [&](const corvel::media::DecodedPicture& picture) {
      if (colourDistance(rgbAt(picture, 320, 240), kGreen) <= kTolerance &&
          colourDistance(rgbAt(picture, 50, 50), kRed) <= kTolerance) {
        seen = true;
      }
    };
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!seesDrawnColours(*device, receiver, seen, consumed) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(seen);
    auto ramps = GammaCurtain::readRamps(display);
    ASSERT_TRUE(ramps);
    EXPECT_TRUE(allBlack(*ramps));

    switch (ending) {
      case Ending::viewerLeaves:
        device->connection->sendJSON(MessageType::bye, corvel::protocol::Bye{"Done"});
        device.reset();
        EXPECT_TRUE(rampsBecome(display, isNormal));
        break;
      case Ending::shortcut: {
        pressTogether(display, {XK_Control_L, XK_Alt_L, XK_Super_L, XK_Shift_L, XK_period});
        std::this_thread::sleep_for(500ms);
        auto still = GammaCurtain::readRamps(display);
        ASSERT_TRUE(still);
        EXPECT_TRUE(allBlack(*still));
        pressTogether(display, {XK_Control_L, XK_Alt_L, XK_Super_L, XK_period});
        EXPECT_TRUE(rampsBecome(display, isNormal));
        auto bye = device->waitForMessage(MessageType::bye, 10s);
        ASSERT_TRUE(bye);
        EXPECT_NE(bye->find("The person at the computer stopped the session."), std::string::npos) << *bye;
        break;
      }
      case Ending::quit:
        EXPECT_EQ(host.stop(), 0);
        EXPECT_TRUE(rampsBecome(display, isNormal));
        break;
      case Ending::kill:
        host.process().signal(SIGKILL);
        // The guard the host left behind puts the ramps back.
        EXPECT_TRUE(rampsBecome(display, isNormal)) << host.process().errors();
        break;
    }
  }
}

}  // namespace
}  // namespace ambrel
