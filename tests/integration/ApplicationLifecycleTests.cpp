#include <gtest/gtest.h>

#include <chrono>
#include <regex>

#include "tests/support/ChildProcess.h"
#include "tests/support/HostProcess.h"
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

}  // namespace
}  // namespace ambrel
