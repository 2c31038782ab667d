#include <gtest/gtest.h>

#include <signal.h>

#include <mutex>
#include <regex>
#include <thread>

#include "CorvelKit/base/JSONCoding.h"
#include "CorvelKit/media/DecodedPicture.h"
#include "CorvelKit/media/VideoReceiver.h"
#include "CorvelKit/protocol/HelloAck.h"
#include "CorvelKit/protocol/InputEvent.h"
#include "CorvelKit/protocol/SelectDisplay.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/HeadlessMutter.h"
#include "tests/support/HostHarness.h"
#include "tests/support/HostProcess.h"
#include "tests/support/RecordedMovie.h"
#include "tests/support/ScreenPainter.h"
#include "tests/support/TemporaryFolder.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;
using corvel::protocol::MessageType;
using corvel::test::ChildProcess;
using corvel::test::colourDistance;

const std::string kHost = std::string(CORVEL_BIN_DIR) + "/ambrel-host";
const std::string kClient = std::string(CORVEL_BIN_DIR) + "/corvel";
const std::string kProbe = std::string(CORVEL_BIN_DIR) + "/wayland_probe";

constexpr std::uint32_t kGreen = 0x30B040;

// A headless GNOME desktop with two monitors (800×600 primary, 640×480 to its right), a Wayland
// client filling the primary one with green, and a real host in that session.
class MutterDesktopTest : public ::testing::Test {
 protected:
  std::unique_ptr<corvel::test::HeadlessMutter> desktop;
  std::unique_ptr<ChildProcess> probe;
  std::unique_ptr<corvel::test::HostProcess> host;
  corvel::test::TemporaryFolder clientHome;
  std::vector<std::string> probeArguments{"--colour", "30B040", "--fullscreen"};

  void SetUp() override {
    if (!corvel::test::HeadlessMutter::available()) GTEST_SKIP() << "mutter, pipewire or wireplumber missing";
    desktop = std::make_unique<corvel::test::HeadlessMutter>(std::vector<std::string>{"800x600", "640x480"});
    ASSERT_TRUE(desktop->isRunning()) << desktop->errors();
    probe = std::make_unique<ChildProcess>(kProbe, probeArguments, desktop->environment(), true);
    ASSERT_TRUE(probe->waitForText("ready", 20s)) << probe->output() << probe->errors();
    auto environment = desktop->environment();
    host = std::make_unique<corvel::test::HostProcess>(
        kHost, corvel::test::HostProcess::Options{.settings = R"({"askBeforeConnecting": false})",
                                                  .environment = environment});
    ASSERT_TRUE(host->isReady()) << host->process().errors();
  }
  void TearDown() override {
    if (host) EXPECT_EQ(host->stop(), 0) << host->process().errors();
  }

  // The probe's report lines, each as "motion 200 300", "key H", ...
  std::vector<std::string> probeLines() const {
    std::vector<std::string> lines;
    std::istringstream in(probe->output());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  bool probeSaw(const std::string& line, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto lines = probeLines();
      if (std::find(lines.begin(), lines.end(), line) != lines.end()) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }
};

TEST_F(MutterDesktopTest, StatusNamesTheBackendAndCorvelSeesWhatTheClientDrawsAndDrivesIt) {
  ChildProcess status(kHost, {"status"}, [&] {
    auto env = desktop->environment();
    env["AMBREL_HOME"] = host->home().string();
    return env;
  }());
  ASSERT_EQ(status.wait(20s), 0) << status.errors();
  EXPECT_NE(status.output().find("Desktop: GNOME (mutter) — Wayland session"), std::string::npos) << status.output();

  // The picture: the primary monitor, all green (the client fills it).
  const auto movie = clientHome.path() / "session.mov";
  ChildProcess view(kClient,
                    {"view", "127.0.0.1", "--code", host->accessCode(), "--headless", "--frames", "1", "--record",
                     movie.string()},
                    {{"AMBREL_HOME", clientHome.path().string()}});
  ASSERT_EQ(view.wait(60s), 0) << view.output() << view.errors();
  EXPECT_NE(view.output().find("size 800x600"), std::string::npos) << view.output();
  const auto picture = corvel::test::firstRecordedPicture(movie);
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->width, 800);
  EXPECT_EQ(picture->height, 600);
  EXPECT_LE(colourDistance(picture->centre, kGreen), 32) << std::hex << picture->centre;

  // Pointer, button and text reach the client. The first keys of a new input session can be lost
  // on their way into mutter: one key goes first to wake it. The pointer's arrival on the window
  // is an "enter": the motion the test looks for comes after it.
  ChildProcess input(kClient,
                     {"connect", "127.0.0.1", "--code", host->accessCode(), "--seconds", "3", "--input",
                      "wait 300; key 49; wait 300; move 0.1 0.1; wait 100; move 0.25 0.5; wait 100; click; "
                      "wait 100; type Hello"},
                     {{"AMBREL_HOME", clientHome.path().string()}});
  ASSERT_EQ(input.wait(60s), 0) << input.output() << input.errors();
  EXPECT_TRUE(probeSaw("motion 200 300")) << probe->output();
  EXPECT_TRUE(probeSaw("button 272 pressed")) << probe->output();  // BTN_LEFT
  EXPECT_TRUE(probeSaw("button 272 released")) << probe->output();
  ASSERT_TRUE(probeSaw("key o")) << probe->output();
  std::string typed;
  for (const auto& line : probeLines()) {
    if (line.rfind("key ", 0) == 0 && line.find('<') == std::string::npos) typed += line.substr(4);
  }
  EXPECT_NE(typed.find("Hello"), std::string::npos) << probe->output();
}

// Decodes a device's video and keeps the size and centre colour of each picture.
struct Pictures {
  corvel::media::VideoReceiver receiver;
  std::vector<std::pair<int, std::uint32_t>> seen;  // width, centre
  std::size_t consumed = 0;

  Pictures() {
    receiver.onPicture = [this](const corvel::media::DecodedPicture& p) {
      seen.emplace_back(p.width, corvel::test::rgbAt(p, p.width / 2, p.height / 2));
    };
  }
  bool saw(test::TestDevice& device, int width, std::optional<std::uint32_t> centre) {
    {
      std::lock_guard lock(device.events.mutex);
      auto& messages = device.events.messages;
      for (; consumed < messages.size(); ++consumed) {
        if (messages[consumed].first == MessageType::video) receiver.receive(messages[consumed].second);
      }
    }
    return std::any_of(seen.begin(), seen.end(), [&](const auto& s) {
      return s.first == width && (!centre || colourDistance(s.second, *centre) <= 32);
    });
  }
};

TEST_F(MutterDesktopTest, BothMonitorsAreListedAndSelectDisplaySwitchesBetweenThem) {
  test::TestDevice device("Viewer", host->accessCode());
  ASSERT_TRUE(device.waitReady());
  device.sendHello();
  auto ack = device.waitForMessage(MessageType::helloAck, 20s);
  ASSERT_TRUE(ack);
  auto hello = corvel::JSONCoding::decode<corvel::protocol::HelloAck>(corvel::asBytes(*ack));
  ASSERT_TRUE(hello);
  ASSERT_EQ(hello->displays.size(), 2u);
  EXPECT_EQ(hello->displays[0].width, 800);
  EXPECT_EQ(hello->displays[1].width, 640);
  EXPECT_EQ(hello->activeDisplayID, hello->displays[0].id);
  EXPECT_NE(hello->displays[0].id, hello->displays[1].id);

  Pictures pictures;
  auto waitFor = [&](int width, std::optional<std::uint32_t> centre) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (pictures.saw(device, width, centre)) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  };
  EXPECT_TRUE(waitFor(800, kGreen)) << "no green 800-wide picture of the primary monitor";
  device.connection->sendJSON(MessageType::selectDisplay, corvel::protocol::SelectDisplay{hello->displays[1].id});
  EXPECT_TRUE(waitFor(640, std::nullopt)) << "no picture of the second monitor";
  device.connection->sendJSON(MessageType::selectDisplay, corvel::protocol::SelectDisplay{hello->displays[0].id});
  pictures.seen.clear();
  EXPECT_TRUE(waitFor(800, kGreen)) << "no picture of the primary monitor after switching back";
}

// Whether each decoded picture shows something other than the green client around given points
// (the pointer's image sits below and right of its position).
struct CursorSightings {
  corvel::media::VideoReceiver receiver;
  std::vector<std::pair<int, int>> points;
  std::vector<std::vector<bool>> seen;  // per picture, per point: not all green there
  std::size_t consumed = 0;

  explicit CursorSightings(std::vector<std::pair<int, int>> at) : points(std::move(at)) {
    receiver.onPicture = [this](const corvel::media::DecodedPicture& p) {
      std::vector<bool> marks;
      for (const auto& [px, py] : points) {
        bool other = false;
        for (int y = py; y < std::min(p.height, py + 12); y += 2) {
          for (int x = px; x < std::min(p.width, px + 12); x += 2) {
            other = other || colourDistance(corvel::test::rgbAt(p, x, y), kGreen) > 64;
          }
        }
        marks.push_back(other);
      }
      seen.push_back(std::move(marks));
    };
  }
  void take(test::TestDevice& device) {
    std::lock_guard lock(device.events.mutex);
    auto& messages = device.events.messages;
    for (; consumed < messages.size(); ++consumed) {
      if (messages[consumed].first == MessageType::video) receiver.receive(messages[consumed].second);
    }
  }
  std::string describe() const {
    std::string text = std::to_string(seen.size()) + " pictures:";
    for (const auto& marks : seen) {
      text += " ";
      for (bool m : marks) text += m ? "1" : "0";
    }
    return text;
  }
  // Waits for a picture, newer than the `after`th, with the pointer's image at point `at` alone.
  bool waitForCursorAt(test::TestDevice& device, std::size_t at, std::size_t after) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      take(device);
      for (std::size_t i = after; i < seen.size(); ++i) {
        bool only = true;
        for (std::size_t k = 0; k < points.size(); ++k) only = only && seen[i][k] == (k == at);
        if (only) return true;
      }
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }
};

// The same desktop, its client setting an arrow cursor of its own (without one mutter shows no
// pointer over the window).
class MutterPointerTest : public MutterDesktopTest {
 protected:
  MutterPointerTest() { probeArguments.push_back("--arrow"); }
};

TEST_F(MutterPointerTest, APointerMoveAloneIsANewPictureWithTheCursorWhereItWent) {
  test::TestDevice device("Viewer", host->accessCode());
  ASSERT_TRUE(device.waitReady());
  device.sendHello();
  ASSERT_TRUE(device.waitForMessage(MessageType::helloAck, 20s));
  // Three places on the 800×600 primary monitor; the client's picture stays green throughout, so
  // every new picture after the first comes from the pointer alone.
  const std::vector<std::pair<int, int>> places{{200, 150}, {600, 450}, {200, 450}};
  CursorSightings pictures(places);
  const auto moveTo = [&](std::size_t i) {
    pictures.take(device);
    const std::size_t before = pictures.seen.size();
    device.connection->sendJSON(MessageType::input,
                                corvel::protocol::InputEvent{corvel::protocol::input_event::MouseMove{
                                    places[i].first / 800.0, places[i].second / 600.0}});
    return before;
  };
  // The first move can be lost while mutter's input session wakes; it is repeated until seen.
  bool first = false;
  for (int attempt = 0; attempt < 5 && !first; ++attempt) first = pictures.waitForCursorAt(device, 0, moveTo(0));
  ASSERT_TRUE(first) << "no picture with the cursor at the first place; " << pictures.describe() << probe->output();
  for (std::size_t i : {1u, 2u, 0u}) {
    EXPECT_TRUE(pictures.waitForCursorAt(device, i, moveTo(i))) << "no picture with the cursor only at place " << i;
  }
}

}  // namespace
}  // namespace ambrel
