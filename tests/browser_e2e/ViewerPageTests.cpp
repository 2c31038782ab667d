#include <gtest/gtest.h>

#include <X11/keysym.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/HostProcess.h"
#include "tests/support/ScreenPainter.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/XEventRecorder.h"
#include "tests/support/XvfbServer.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;
using corvel::test::ChildProcess;
using corvel::test::XEventRecorder;

// The colour of the rectangle over the left half of the host's screen; the right half is the
// recording window, black.
constexpr int red = 200, green = 60, blue = 40;

// A real host with browser access on, a real X server, and the viewer page in headless Chromium
// (driven by viewer-e2e.mjs): the page must refuse a wrong code (the host answers 403), show the
// host's screen, deliver mouse, wheel, keys, text and touch to the X server, reconnect on request,
// and say so when the host goes away.
TEST(ViewerPageInChromium, ShowsTheScreenRefusesAWrongCodeAndDrivesTheHostsInput) {
  const std::filesystem::path folder = std::string(CORVEL_SOURCE_DIR) + "/tests/browser_e2e";
  ASSERT_TRUE(std::filesystem::exists(folder / "node_modules/playwright-core"))
      << "playwright-core is missing: run scripts/install-deps.sh";
  ASSERT_TRUE(std::filesystem::exists(CORVEL_CHROMIUM))
      << CORVEL_CHROMIUM << " is missing: run scripts/install-deps.sh";

  corvel::test::XvfbServer x("1280x800x24");
  ASSERT_TRUE(x.isRunning()) << x.errors();
  XEventRecorder recorder(x.displayName());
  ASSERT_TRUE(recorder.isConnected());
  recorder.openFocusedWindow();
  corvel::test::ScreenPainter painter(x.displayName());
  ASSERT_TRUE(painter.isConnected());
  painter.fill(0, 0, 640, 800, (red << 16) | (green << 8) | blue);

  corvel::test::TemporaryFolder scratch;
  corvel::test::HostProcess host(std::string(CORVEL_BIN_DIR) + "/ambrel-host",
                                 {.settings = R"({"askBeforeConnecting": false, "browserAccess": true})",
                                  .environment = {{"DISPLAY", x.displayName()}},
                                  .readyText = "browser server ready",
                                  .timeout = 30s});
  ASSERT_TRUE(host.isReady()) << host.process().output() << host.process().errors();

  const auto screenshot = scratch.path() / "viewer.png";
  ChildProcess browser(
      CORVEL_NODE,
      {(folder / "viewer-e2e.mjs").string(), "--url", "https://127.0.0.1:5896/", "--code", host.accessCode(),
       "--colour", std::to_string(red) + "," + std::to_string(green) + "," + std::to_string(blue),
       "--screenshot", screenshot.string(), "--chromium", CORVEL_CHROMIUM});
  // Everything the page sends has reached the X server by the last tap's release; then the host
  // goes away under the page.
  ASSERT_TRUE(browser.waitForText("waiting for the host to go", 180s))
      << browser.output() << browser.errors() << "\nhost:\n"
      << host.process().errors();
  auto events = recorder.collectUntil(
      [](const XEventRecorder::Event& e) {
        return e.type == XEventRecorder::Event::Type::buttonRelease && std::abs(e.y - 480) <= 2;
      },
      30s);
  EXPECT_EQ(host.stop(15s), 0) << host.process().errors();
  const auto status = browser.wait(60s);
  ASSERT_TRUE(status.has_value()) << "the browser script did not finish\n"
                                  << browser.output() << browser.errors();
  EXPECT_EQ(*status, 0) << browser.output() << browser.errors() << "\nhost:\n" << host.process().errors();
  std::cout << browser.output();

  // What the X server delivered: the pointer moving, a left and a right click three quarters across
  // and half-way down the screen, two wheel notches down, the typed keys in order (Shift+A as "A",
  // "$" sent as text, "ok" pasted with Ctrl+V and typed without Ctrl, "yes" committed by an input
  // method, Enter as a newline), and after reconnecting the tap at (0.6, 0.75) and, on the zoomed
  // picture, at (0.6, 0.6). The text is made of characters of the keyboard map: the host types
  // others through a keycode it remaps only for a moment, and the recorder reads the map when it
  // reads the event, which is later.
  struct Press {
    unsigned button;
    int x, y;
  };
  std::vector<Press> presses;
  std::string typed;
  int motions = 0;
  for (const auto& e : events) {
    using Type = XEventRecorder::Event::Type;
    if (e.type == Type::keyPress) {
      typed += e.text;
      if (e.text == "o" || e.text == "k") EXPECT_EQ(e.state & XEventRecorder::controlMask, 0u) << e.text;
    }
    if (e.type == Type::buttonPress) presses.push_back({e.button, e.x, e.y});
    if (e.type == Type::motion) ++motions;
  }
  EXPECT_GT(motions, 0);
  const std::vector<Press> expected = {{1, 960, 400}, {3, 960, 400}, {5, 960, 400},
                                       {5, 960, 400}, {1, 768, 600}, {1, 768, 480}};
  ASSERT_EQ(presses.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(presses[i].button, expected[i].button);
    EXPECT_NEAR(presses[i].x, expected[i].x, 2);
    EXPECT_NEAR(presses[i].y, expected[i].y, 2);
  }
  EXPECT_EQ(typed, "hiA$okyes\n");
  // Nothing stays held after the page went away.
  EXPECT_FALSE(recorder.isDown(XK_Shift_L));
  EXPECT_FALSE(recorder.isDown(XK_Control_L));
}

}  // namespace
}  // namespace ambrel
