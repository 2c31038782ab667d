// The browserAccess setting of a running ambrel-host: the browser server follows it, the host
// prints and reports its address, and a new access code is the only one it takes afterwards.
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "tests/support/ChildProcess.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/WebSocketTestClient.h"
#include "tests/support/XvfbServer.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;
using corvel::test::ChildProcess;
using corvel::test::WebSocketTestClient;

const std::string kHost = std::string(CORVEL_BIN_DIR) + "/ambrel-host";

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class HostBrowserAccessTest : public ::testing::Test {
 protected:
  corvel::test::XvfbServer xvfb{"800x600x24"};
  corvel::test::TemporaryFolder home;
  std::map<std::string, std::string> env{{"AMBREL_HOME", home.path().string()},
                                         {"DISPLAY", xvfb.displayName()}};

  std::string command(std::vector<std::string> args) {
    ChildProcess p(kHost, std::move(args), env);
    EXPECT_EQ(p.wait(30s), 0) << p.errors();
    return p.output();
  }
  static std::string accessCode(const std::string& text) {
    std::smatch m;
    return std::regex_search(text, m, std::regex("[A-Z0-9]{3}-[A-Z0-9]{3}-[A-Z0-9]{3}-[A-Z0-9]{3}")) ? m[0].str() : "";
  }
  static std::optional<std::string> upgrade(const std::string& code) {
    auto client = WebSocketTestClient::connect(5896, true);
    if (!client) return std::nullopt;
    auto head = client->upgrade("code=" + code);
    if (!head) return std::nullopt;
    return head->substr(0, head->find("\r\n"));
  }
  template <class Condition>
  static bool eventually(Condition condition) {
    for (int i = 0; i < 1000; ++i) {
      if (condition()) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
};

TEST_F(HostBrowserAccessTest, TheSettingStartsAndStopsTheServerAndANewCodeReplacesTheOld) {
  ASSERT_TRUE(xvfb.isRunning()) << xvfb.errors();
  // On before the start, in the settings file.
  EXPECT_EQ(command({"settings", "browserAccess", "true"}), "browserAccess = true\n");
  ChildProcess host(kHost, {"--headless"}, env);
  ASSERT_TRUE(host.waitForText("Browser access: https://", 30s)) << host.output() << host.errors();
  EXPECT_NE(command({"status"}).find("Browser access: https://"), std::string::npos);
  const std::string code = accessCode(host.output());
  ASSERT_FALSE(code.empty());
  EXPECT_EQ(upgrade(code), "HTTP/1.1 101 Switching Protocols");

  // Off over the control socket.
  EXPECT_EQ(command({"settings", "browserAccess", "false"}), "browserAccess = false\n");
  ASSERT_TRUE(host.waitForText("Browser access: off", 10s)) << host.output();
  EXPECT_EQ(command({"status"}).find("Browser access"), std::string::npos);
  EXPECT_TRUE(eventually([] { return !WebSocketTestClient::connect(5896, false); }));

  // On again, then a new access code: only the new one opens the viewer.
  EXPECT_EQ(command({"settings", "browserAccess", "true"}), "browserAccess = true\n");
  ASSERT_TRUE(eventually([&] { return count(host.output(), "Browser access: https://") == 2; }));
  const std::string newCode = accessCode(command({"new-code"}));
  ASSERT_FALSE(newCode.empty());
  ASSERT_NE(newCode, code);
  EXPECT_TRUE(eventually([&] { return upgrade(code) == "HTTP/1.1 403 Forbidden"; }));
  EXPECT_EQ(upgrade(newCode), "HTTP/1.1 101 Switching Protocols");

  host.signal(SIGTERM);
  EXPECT_EQ(host.wait(15s), 0) << host.errors();
}

}  // namespace
}  // namespace ambrel
