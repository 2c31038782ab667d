// The real host behind a home router that speaks NAT-PMP: it maps its listening port at start,
// publishes the router's endpoint in its presence record, and removes the mapping when it quits.

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <thread>

#include "CorvelKit/net/NatPmp.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/HostProcess.h"
#include "tests/support/NetworkNamespace.h"
#include "tests/support/ScriptedGateway.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;
using corvel::test::ScriptedGateway;

const std::string kHost = std::string(CORVEL_BIN_DIR) + "/ambrel-host";
const std::string kClient = std::string(CORVEL_BIN_DIR) + "/corvel";

TEST(HostPortMapping, MappedAtStartPublishedAndRemovedOnQuit) {
  const std::string subnet = "10." + std::to_string(200 + ::getpid() % 50) + ".0.";
  corvel::test::NetworkNamespace home(subnet + "1", subnet + "2");
  ASSERT_TRUE(home.isReady()) << home.errors();
  ScriptedGateway router(subnet + "1", corvel::net::NatPmp::gatewayPort,
                         ScriptedGateway::granting("203.0.113.7", 40000, 7200));
  ASSERT_TRUE(router.isBound());

  corvel::test::HostProcess::Options options;
  // The update check asks a closed local port: the namespace has no name server, and a name lookup
  // that never gets an answer would hold the host's quit for seconds.
  options.settings = R"({"updateFeedURL": "http://127.0.0.1:9/feed.json"})";
  options.arguments = {"netns", "exec", home.name(), kHost, "--headless"};
  corvel::test::HostProcess host("/usr/sbin/ip", options);
  ASSERT_TRUE(host.isReady()) << host.process().errors();

  // The external address, then the listening port, asked of the namespace's default router.
  auto requests = router.waitFor(2, 10s);
  ASSERT_GE(requests.size(), 2u);
  EXPECT_EQ(corvel::hexString(requests[0].bytes), "0000");
  EXPECT_EQ(corvel::hexString(requests[1].bytes), "000200001707170700001c20");

  // The presence record carries the router's endpoint (the host's own database in its home).
  std::string listed;
  for (auto end = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < end;) {
    corvel::test::ChildProcess macs(kClient, {"macs"}, {{"AMBREL_HOME", host.home().string()}});
    macs.wait(10s);
    listed = macs.output();
    if (listed.find("internet: 203.0.113.7:40000") != std::string::npos) break;
    std::this_thread::sleep_for(200ms);
  }
  EXPECT_NE(listed.find("internet: 203.0.113.7:40000"), std::string::npos) << listed;

  // Quitting removes the mapping.
  const auto before = router.waitFor(0, 0ms).size();
  EXPECT_EQ(host.stop(), 0);
  requests = router.waitFor(before + 1, 5s);
  ASSERT_GT(requests.size(), before);
  EXPECT_EQ(corvel::hexString(requests.back().bytes), "000200001707000000000000");
}

}  // namespace
}  // namespace ambrel
