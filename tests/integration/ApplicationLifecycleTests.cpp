#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <thread>

#include "tests/support/ChildProcess.h"
#include "tests/support/HostProcess.h"
#include "tests/support/NetworkNamespace.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/XvfbServer.h"

namespace ambrel {
namespace {

using corvel::test::ChildProcess;
using namespace std::chrono_literals;

const std::string kHost = std::string(CORVEL_BIN_DIR) + "/ambrel-host";
const std::string kClient = std::string(CORVEL_BIN_DIR) + "/corvel";

// Quit closes both sessions with "Ambrel Host quit." before the program ends; a second start
// meanwhile hands over to the running host and ends at once.
TEST(ApplicationLifecycleTest, ASecondStartHandsOverAndQuitSaysGoodbyeToEveryone) {
  corvel::test::HostProcess host(kHost, {.settings = R"({"askBeforeConnecting": false})"});
  ASSERT_TRUE(host.isReady()) << host.process().errors();
  const std::map<std::string, std::string> env{{"AMBREL_HOME", host.home().string()}};

  ChildProcess second(kHost, {}, env);
  EXPECT_EQ(second.wait(10s), 0);
  EXPECT_EQ(second.output(), "Ambrel Host is running without its desktop interface.\n");

  corvel::test::TemporaryFolder clientHome;
  std::vector<std::unique_ptr<ChildProcess>> clients;
  for (const char* name : {"One", "Two"}) {
    clients.push_back(std::make_unique<ChildProcess>(
        kClient, std::vector<std::string>{"connect", "127.0.0.1", "--code", host.accessCode(), "--name", name},
        std::map<std::string, std::string>{{"AMBREL_HOME", clientHome.path().string()}}));
  }
  for (auto& c : clients) ASSERT_TRUE(c->waitForText("helloAck", 20s)) << c->output() << c->errors();

  ChildProcess quit(kHost, {"quit"}, env);
  EXPECT_EQ(quit.wait(10s), 0);
  EXPECT_EQ(quit.output(), "Ambrel Host is quitting.\n");
  EXPECT_EQ(host.process().wait(10s), 0);
  for (auto& c : clients) {
    EXPECT_EQ(c->wait(10s), 0);
    EXPECT_NE(c->output().find(R"(bye {"reason":"Ambrel Host quit."})"), std::string::npos) << c->output();
  }
}

// With a display a person sees, the host runs its desktop interface; a second start brings its
// panel up, and Quit ends the program as the signal does.
TEST(ApplicationLifecycleTest, RunsItsDesktopInterfaceOnADisplay) {
  corvel::test::XvfbServer xvfb;
  ASSERT_TRUE(xvfb.isRunning()) << xvfb.errors();
  corvel::test::HostProcess host(kHost, {.environment = {{"DISPLAY", xvfb.displayName()}}, .arguments = {}});
  ASSERT_TRUE(host.isReady()) << host.process().errors();
  const std::map<std::string, std::string> env{{"AMBREL_HOME", host.home().string()}};

  ChildProcess second(kHost, {}, env);
  EXPECT_EQ(second.wait(10s), 0);
  EXPECT_EQ(second.output(), "Ambrel Host is already running; its panel is open.\n");
  ChildProcess quit(kHost, {"quit"}, env);
  EXPECT_EQ(quit.wait(10s), 0);
  EXPECT_EQ(host.process().wait(10s), 0) << host.process().errors();
  EXPECT_NE(host.process().errors().find("Ambrel Host stopped"), std::string::npos);
}

// An update check waiting on a name server that never answers (its lookup would take the 10 s
// of two 5 s tries) doesn't hold the host's quit. The host runs in a network namespace of its own
// whose name server takes the questions and never answers.
TEST(ApplicationLifecycleTest, QuitDoesNotWaitForAnUpdateCheckStuckInANameLookup) {
  corvel::test::NetworkNamespace ns;
  ASSERT_TRUE(ns.isReady()) << ns.errors();
  struct Socket {
    int fd = -1;
    ~Socket() {
      if (fd >= 0) ::close(fd);
    }
  } nameServer;
  ns.run([&nameServer] {
    nameServer.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(nameServer.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      ::close(nameServer.fd);
      nameServer.fd = -1;
    }
  });
  ASSERT_GE(nameServer.fd, 0);
  corvel::test::TemporaryFolder scratch;
  const auto resolvConf = scratch.path() / "resolv.conf";
  std::ofstream(resolvConf) << "nameserver 127.0.0.1\noptions timeout:5 attempts:2\n";
  // "ip netns exec" gives the host a mount namespace of its own too: the bind mount stays in it.
  const std::string script =
      "mount --bind '" + resolvConf.string() + "' /etc/resolv.conf && exec '" + kHost + "' --headless";
  corvel::test::HostProcess host(
      "/usr/sbin/ip", {.settings = R"({"updateFeedURL": "https://updates.ambrel-feed.example/feed.json"})",
                       .arguments = {"netns", "exec", ns.name(), "/bin/sh", "-c", script}});
  ASSERT_TRUE(host.isReady()) << host.process().errors();
  const std::map<std::string, std::string> env{{"AMBREL_HOME", host.home().string()}};
  ChildProcess status(kHost, {"update", "status"}, env);
  EXPECT_EQ(status.wait(10s), 0);
  EXPECT_EQ(status.output(), "Checking for updates…\n");
  std::this_thread::sleep_for(500ms);

  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(host.stop(15s), 0) << host.process().errors();
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s);
  EXPECT_NE(host.process().errors().find("Ambrel Host stopped"), std::string::npos);
}

}  // namespace
}  // namespace ambrel
