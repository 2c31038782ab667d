#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>
#include <regex>
#include <string>

#include "tests/support/ChildProcess.h"
#include "tests/support/HostProcess.h"
#include "tests/support/RecordedMovie.h"
#include "tests/support/ScreenPainter.h"
#include "tests/support/SwayServer.h"
#include "tests/support/TemporaryFolder.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;
using corvel::test::ChildProcess;
using corvel::test::colourDistance;

const std::string kHost = std::string(CORVEL_BIN_DIR) + "/ambrel-host";
const std::string kClient = std::string(CORVEL_BIN_DIR) + "/corvel";
const std::string kProbe = std::string(CORVEL_BIN_DIR) + "/wayland_probe";

constexpr std::uint32_t kOrange = 0xE08020;

// A real host on a headless sway, told to use the wlroots desktop, with a full-screen client in
// one colour; corvel as a person would run it.
class WlrootsHostTest : public ::testing::Test {
 protected:
  corvel::test::SwayServer sway;
  std::unique_ptr<ChildProcess> probe;
  std::unique_ptr<corvel::test::HostProcess> host;
  corvel::test::TemporaryFolder clientHome;

  void SetUp() override {
    ASSERT_TRUE(sway.isRunning()) << sway.errors();
    probe = std::make_unique<ChildProcess>(kProbe, std::vector<std::string>{"--colour", "E08020", "--fullscreen"},
                                           sway.clientEnvironment(), true);
    ASSERT_TRUE(probe->waitForText("ready", 20s)) << probe->errors();
    auto environment = sway.clientEnvironment();
    // A Wayland session without mutter: the host chooses the wlroots backend.
    environment["XDG_SESSION_TYPE"] = "wayland";
    host = std::make_unique<corvel::test::HostProcess>(
        kHost, corvel::test::HostProcess::Options{.settings = R"({"askBeforeConnecting": false})",
                                                  .environment = environment,
                                                  .readyText = "Listener: Ready"});
    ASSERT_TRUE(host->isReady()) << host->process().errors();
  }
  void TearDown() override {
    if (host) EXPECT_EQ(host->stop(), 0);
  }

  std::unique_ptr<ChildProcess> corvel(std::vector<std::string> args) {
    args.insert(args.begin() + 1, {"127.0.0.1", "--code", host->accessCode()});
    return std::make_unique<ChildProcess>(kClient, std::move(args),
                                          std::map<std::string, std::string>{{"AMBREL_HOME", clientHome.path().string()}});
  }
};

TEST_F(WlrootsHostTest, StreamsTheCompositorsPictureAndTakesInput) {
  // The host chose the wlroots backend, and says so.
  auto environment = sway.clientEnvironment();
  environment["AMBREL_HOME"] = host->home().string();
  ChildProcess status(kHost, {"status"}, environment);
  ASSERT_EQ(status.wait(20s), 0) << status.errors();
  EXPECT_NE(status.output().find("Desktop: wlroots — Wayland session"), std::string::npos) << status.output();

  const auto movie = clientHome.path() / "session.mov";
  auto view = corvel({"view", "--headless", "--seconds", "3", "--record", movie.string()});
  ASSERT_EQ(view->wait(60s), 0) << view->output() << view->errors() << host->process().errors();
  std::smatch size;
  const auto output = view->output();
  ASSERT_TRUE(std::regex_search(output, size, std::regex("size (\\d+)x(\\d+)"))) << output;
  EXPECT_EQ(std::stoi(size[1]) * 1080, std::stoi(size[2]) * 1920) << "the 16:9 output, perhaps scaled";
  const auto picture = corvel::test::firstRecordedPicture(movie);
  ASSERT_TRUE(picture) << output;
  EXPECT_LE(colourDistance(picture->centre, kOrange), 32) << std::hex << picture->centre;

  // A first move takes the pointer onto the window (an enter), the second is a motion there.
  auto client = corvel({"connect", "--seconds", "2", "--input", "move 0.1 0.1; wait 300; move 0.25 0.5; click; type Hi!"});
  ASSERT_TRUE(client->waitForText("input sent", 20s)) << client->output() << host->process().errors();
  EXPECT_EQ(client->wait(20s), 0);
  EXPECT_TRUE(probe->waitForText("motion 480 540", 10s)) << probe->output();
  EXPECT_TRUE(probe->waitForText("button 272 pressed\nbutton 272 released", 10s)) << probe->output();
  EXPECT_TRUE(probe->waitForText("key H\nkey i\n", 10s)) << probe->output();
  EXPECT_TRUE(probe->waitForText("key !\n", 10s)) << probe->output();
}

TEST_F(WlrootsHostTest, ClipboardTravelsBetweenTheCompositorAndADevice) {
  const auto received = clientHome.path() / "received.txt";
  auto listener = corvel({"clipboard", "--name", "Listener", "--seconds", "60", "--into", received.string()});
  auto contents = [&] {
    std::ifstream in(received, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  auto waitFor = [](const std::function<bool()>& done) {
    for (int i = 0; i < 200; ++i) {
      if (done()) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  };
  // The listener is in once the host has its first clipboard state to compare with.
  std::this_thread::sleep_for(2s);

  ChildProcess copy("/usr/bin/wl-copy", {"--foreground", "Grüße vom Compositor"}, sway.clientEnvironment());
  EXPECT_TRUE(waitFor([&] { return contents() == "Grüße vom Compositor"; })) << listener->output();

  // Large enough that the compositor's reader takes it in many pieces.
  std::string text;
  while (text.size() < 300'000) text += "Stück für Stück 🙂 ";
  const auto file = clientHome.path() / "paste.txt";
  std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
  auto paster = corvel({"clipboard", "--name", "Paster", "--text-file", file.string()});
  ASSERT_EQ(paster->wait(30s), 0) << paster->output() << paster->errors();
  EXPECT_TRUE(waitFor([&] {
    ChildProcess paste("/usr/bin/wl-paste", {"--no-newline"}, sway.clientEnvironment());
    return paste.wait(10s) == 0 && paste.output() == text;
  }));
  EXPECT_EQ(copy.wait(10s), 0) << "wl-copy ends once it no longer owns the clipboard";
}

}  // namespace
}  // namespace ambrel
