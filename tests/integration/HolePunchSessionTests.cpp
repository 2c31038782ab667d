// A viewer and the real host on two home networks, each behind its own masquerading router that
// lets in only answers, with a STUN server on the internet between them. Neither router forwards
// a port, so the viewer's only way in is the hole the host punches: the session (hello, the
// video, the pointer) runs over QUIC through it.

#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "tests/support/ChildProcess.h"
#include "tests/support/HostProcess.h"
#include "tests/support/NatLab.h"
#include "tests/support/RecordedMovie.h"
#include "tests/support/ScreenPainter.h"
#include "tests/support/StunServer.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/XvfbServer.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;
using corvel::test::ChildProcess;
using corvel::test::NatLab;

const std::string kHost = std::string(CORVEL_BIN_DIR) + "/ambrel-host";
const std::string kClient = std::string(CORVEL_BIN_DIR) + "/corvel";

constexpr std::uint32_t kBlue = 0x3050C0;

// The host's record once it carries the public address hole punching learnt: its id, and the
// listing.
std::pair<std::string, std::string> punchableRecord(const corvel::test::HostProcess& host) {
  std::string listed;
  for (auto end = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < end;) {
    ChildProcess macs(kClient, {"macs"}, {{"AMBREL_HOME", host.home().string()}});
    macs.wait(10s);
    listed = macs.output();
    std::smatch found;
    const std::regex record(std::string(R"(  ([0-9A-F-]{36})\n(?:  .*\n)*?  hole punching: )") +
                            NatLab::routerAPublic + ":");
    if (std::regex_search(listed, found, record)) return {found[1], listed};
    std::this_thread::sleep_for(300ms);
  }
  return {"", listed};
}

TEST(HostHolePunch, AViewerBehindItsOwnRouterHasASessionThroughThePunchedHole) {
  NatLab lab;
  ASSERT_TRUE(lab.isReady()) << lab.errors();
  corvel::test::StunServer stun(lab.internet(), NatLab::internetAddress);
  ASSERT_TRUE(stun.isRunning()) << stun.errors();
  const std::string stunServer = stun.address() + ":" + std::to_string(stun.port());

  corvel::test::XvfbServer screen("640x480x24");
  ASSERT_TRUE(screen.isRunning()) << screen.errors();
  corvel::test::ScreenPainter painter(screen.displayName());
  painter.fill(0, 0, 640, 480, kBlue);
  painter.movePointer(600, 40);  // away from the middle of the picture, which the test reads

  corvel::test::HostProcess::Options options;
  // The update check asks a closed local port: the namespace has no name server.
  options.settings = R"({"askBeforeConnecting": false, "natHolePunch": true, "stunServer": ")" + stunServer +
                     R"(", "updateFeedURL": "http://127.0.0.1:9/feed.json"})";
  options.environment = {{"DISPLAY", screen.displayName()}};
  options.arguments = {"netns", "exec", lab.host().name(), kHost, "--headless"};
  corvel::test::HostProcess host("/usr/sbin/ip", options);
  ASSERT_TRUE(host.isReady()) << host.process().errors();

  // The host learnt its router's public address and published it.
  auto [id, listed] = punchableRecord(host);
  ASSERT_FALSE(id.empty()) << listed;

  // The viewer finds the host in the owner's database (here the host's own file), leaves its own
  // public address there, and races the record's ways in: the host's home addresses lead nowhere
  // from the viewer's network, the punched path does once the host has punched.
  corvel::test::TemporaryFolder viewerHome;
  const auto movie = viewerHome.path() / "session.mov";
  const auto database = (host.home() / "data" / "cloud.sqlite").string();
  const std::vector<std::string> byID = {"netns", "exec", lab.viewer().name(), kClient, "connect", id,
                                         "--code", host.accessCode(), "--database", database};
  {
    // Without hole punching, nothing in the record leads in: the race fails.
    ChildProcess alone("/usr/sbin/ip", byID, {{"AMBREL_HOME", viewerHome.path().string()}});
    EXPECT_EQ(alone.wait(30s), 4) << alone.output() << alone.errors();
    EXPECT_EQ(alone.output().find("reached"), std::string::npos) << alone.output();
  }
  ChildProcess viewer("/usr/sbin/ip",
                      {"netns", "exec", lab.viewer().name(), kClient, "view", id, "--code", host.accessCode(),
                       "--database", database, "--stun", stunServer, "--headless", "--frames", "1",
                       "--record", movie.string(), "--input", "move 0.25 0.75"},
                      {{"AMBREL_HOME", viewerHome.path().string()}});
  ASSERT_EQ(viewer.wait(90s), 0) << viewer.output() << viewer.errors();
  EXPECT_NE(viewer.output().find("reached " + std::string(NatLab::routerAPublic)), std::string::npos)
      << viewer.output();
  EXPECT_NE(viewer.output().find("through a punched hole"), std::string::npos) << viewer.output();
  EXPECT_NE(viewer.output().find("size 640x480"), std::string::npos) << viewer.output();

  // The pictures that came through show the host's screen, and the pointer went where it was sent.
  auto picture = corvel::test::firstRecordedPicture(movie);
  ASSERT_TRUE(picture);
  EXPECT_LE(corvel::test::colourDistance(picture->centre, kBlue), 32) << std::hex << picture->centre;
  auto [x, y] = painter.pointer();
  EXPECT_NEAR(x, 160, 2);
  EXPECT_NEAR(y, 360, 2);

  // The host saw the viewer come from the viewer's router.
  EXPECT_EQ(host.stop(), 0);
  const std::string arrival = std::string("new QUIC connection from ") + NatLab::routerBPublic;
  EXPECT_NE((host.process().output() + host.process().errors()).find(arrival), std::string::npos);
}

}  // namespace
}  // namespace ambrel
