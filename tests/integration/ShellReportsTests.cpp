#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "tests/support/ChildProcess.h"
#include "tests/support/LocalWebServer.h"
#include "tests/support/TemporaryFolder.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;
using corvel::test::ChildProcess;
using nlohmann::json;

const std::string kHost = std::string(CORVEL_BIN_DIR) + "/ambrel-host";

json readJSON(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return json::parse(text.str());
}

// Settings that point the update check at a feed of the test's own.
void writeSettings(const std::filesystem::path& home, const std::string& feedURL) {
  std::filesystem::create_directories(home / "config");
  std::ofstream(home / "config" / "settings.json") << json{{"updateFeedURL", feedURL}}.dump();
}

// Runs `ambrel-host ARGS` in `home` and returns its exit status and output.
std::pair<std::optional<int>, std::string> command(const std::filesystem::path& home, std::vector<std::string> args) {
  ChildProcess run(kHost, std::move(args), {{"AMBREL_HOME", home.string()}});
  auto status = run.wait(40s);
  return {status, run.output() + run.errors()};
}

TEST(ShellReports, CrashedHostLeavesAReportThatTheProblemReportCarries) {
  corvel::test::LocalWebServer feed;
  corvel::test::TemporaryFolder home;
  writeSettings(home.path(), feed.url("/feed.json"));
  ChildProcess host(kHost, {"--headless"}, {{"AMBREL_HOME", home.path().string()}});
  ASSERT_TRUE(host.waitForText("is running", 20s)) << host.errors();
  host.signal(SIGSEGV);
  EXPECT_EQ(host.wait(10s), 128 + SIGSEGV);

  auto [status, output] = command(home.path(), {"report", "it crashed"});
  ASSERT_EQ(status, 0) << output;
  const auto prefix = std::string("Problem report: ");
  ASSERT_TRUE(output.starts_with(prefix)) << output;
  const auto path = output.substr(prefix.size(), output.find('\n') - prefix.size());
  EXPECT_TRUE(path.starts_with(home.path().string()));
  const auto report = readJSON(path);
  EXPECT_EQ(report["note"], "it crashed");
  EXPECT_EQ(report["app"], "com.pinebay.corvel.host");
  const auto buildID = report["buildID"].get<std::string>();
  EXPECT_GE(buildID.size(), 16u);

  json crash;
  for (const auto& payload : report["reports"]) {
    if (payload["kind"] == "crash") crash = payload;
  }
  ASSERT_FALSE(crash.is_null()) << report.dump(2);
  EXPECT_EQ(crash["signalName"], "SIGSEGV");
  EXPECT_EQ(crash["buildID"], buildID);
  EXPECT_EQ(crash["pid"], host.pid());
  EXPECT_FALSE(crash["backtrace"].empty());
}

TEST(ShellReports, UpdateCommandsWithAndWithoutARunningHost) {
  corvel::test::LocalWebServer feed;
  feed.answer("/feed.json", 200, R"({"shortVersion": "9.9", "build": 999, "url": "https://example.net/a.dmg"})");
  corvel::test::TemporaryFolder home;
  writeSettings(home.path(), feed.url("/feed.json"));

  // No host: the command checks by itself.
  {
    auto [status, output] = command(home.path(), {"update", "check"});
    EXPECT_EQ(status, 0);
    EXPECT_NE(output.find("Ambrel Host 9.9 (build 999) is available"), std::string::npos) << output;
    EXPECT_NE(output.find("Download: https://example.net/a.dmg"), std::string::npos) << output;
  }
  ChildProcess host(kHost, {"--headless"}, {{"AMBREL_HOME", home.path().string()}});
  ASSERT_TRUE(host.waitForText("is running", 20s)) << host.errors();
  // The automatic check at start-up found it already.
  ASSERT_TRUE(host.waitForText("Ambrel Host 9.9 (build 999) is available", 20s)) << host.errors();
  {
    auto [status, output] = command(home.path(), {"update", "check"});
    EXPECT_EQ(status, 0);
    EXPECT_NE(output.find("9.9 (build 999) is available"), std::string::npos) << output;
  }
  {
    auto [status, output] = command(home.path(), {"update", "skip"});
    EXPECT_EQ(status, 0);
    EXPECT_NE(output.find("won't be offered again"), std::string::npos) << output;
  }
  {
    auto [status, output] = command(home.path(), {"update"});
    EXPECT_NE(output.find("You chose to skip this build."), std::string::npos) << output;
  }
  feed.answer("/feed.json", 404, "gone");
  {
    auto [status, output] = command(home.path(), {"update", "check"});
    EXPECT_EQ(status, 1);
    EXPECT_NE(output.find("Couldn't check for updates"), std::string::npos) << output;
  }
  host.signal(SIGTERM);
  EXPECT_EQ(host.wait(10s), 0);
  // The skip was kept in the settings.
  EXPECT_EQ(readJSON(home.path() / "config" / "settings.json")["update.dismissedBuild"], 999);
}

}  // namespace
}  // namespace ambrel
