#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>

#include "tests/support/ChildProcess.h"
#include "tests/support/TemporaryFolder.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;
using corvel::test::ChildProcess;

const std::string kHost = std::string(CORVEL_BIN_DIR) + "/ambrel-host";

TEST(HostProcess, StartsOnDefaultsAndStopsCleanlyOnEitherSignal) {
  for (int sig : {SIGINT, SIGTERM}) {
    corvel::test::TemporaryFolder home;
    ChildProcess host(kHost, {}, {{"AMBREL_HOME", home.path().string()}});
    ASSERT_TRUE(host.waitForText("is running", 10s)) << host.errors();
    host.signal(sig);
    EXPECT_EQ(host.wait(10s), 0) << host.errors();
    EXPECT_NE(host.errors().find("Ambrel Host stopped"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(home.path() / "data" / "logs" / "ambrel-host.log"));
  }
}

TEST(HostProcess, ReadsSettingsWrittenBeforeStart) {
  corvel::test::TemporaryFolder home;
  std::filesystem::create_directories(home.path() / "config");
  std::ofstream(home.path() / "config" / "settings.json") << R"({"quality": "ultra", "blankScreen": true})";
  ChildProcess host(kHost, {}, {{"AMBREL_HOME", home.path().string()}});
  ASSERT_TRUE(host.waitForText("is running", 10s)) << host.errors();
  host.signal(SIGTERM);
  ASSERT_EQ(host.wait(10s), 0);
  EXPECT_NE(host.errors().find("setting quality = \"balanced\""), std::string::npos);
  EXPECT_NE(host.errors().find("setting blankScreen = true"), std::string::npos);
}

TEST(HostProcess, RejectsUnknownArguments) {
  ChildProcess host(kHost, {"--bogus"});
  EXPECT_EQ(host.wait(10s), 64);
  EXPECT_NE(host.errors().find("usage:"), std::string::npos);
}

}  // namespace
}  // namespace ambrel
