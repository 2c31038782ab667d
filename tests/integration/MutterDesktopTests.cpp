#include <gtest/gtest.h>

#include <signal.h>

#include <mutex>
#include <regex>
#include <thread>

#include "CorvelKit/base/JSONCoding.h"
#include "CorvelKit/media/DecodedPicture.h"
#include "CorvelKit/media/VideoReceiver.h"
#include "CorvelKit/protocol/HelloAck.h"
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

  void SetUp() override {
    if (!corvel::test::HeadlessMutter::available()) GTEST_SKIP() << "mutter, pipewire or wireplumber missing";
    desktop = std::make_unique<corvel::test::HeadlessMutter>(std::vector<std::string>{"800x600", "640x480"});
    ASSERT_TRUE(desktop->isRunning()) << desktop->errors();
    probe = std::make_unique<ChildProcess>(kProbe, std::vector<std::string>{"--colour", "30B040", "--fullscreen"},
                                           desktop->environment(), true);
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

}  // namespace
}  // namespace ambrel
