#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <regex>
#include <thread>

#include "tests/support/ChildProcess.h"
#include "tests/support/TemporaryFolder.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;
using corvel::test::ChildProcess;

const std::string kHost = std::string(CORVEL_BIN_DIR) + "/ambrel-host";
const std::string kClient = std::string(CORVEL_BIN_DIR) + "/corvel";

struct Result {
  std::optional<int> status;
  std::string out, err;
};

class ControlCommandTest : public ::testing::Test {
 protected:
  corvel::test::TemporaryFolder home, clientHome;
  std::map<std::string, std::string> env{{"AMBREL_HOME", home.path().string()}};

  Result command(std::vector<std::string> args) {
    ChildProcess p(kHost, std::move(args), env);
    auto status = p.wait(30s);
    return {status, p.output(), p.errors()};
  }
  std::unique_ptr<ChildProcess> startHost() {
    auto host = std::make_unique<ChildProcess>(kHost, std::vector<std::string>{}, env);
    EXPECT_TRUE(host->waitForText("is running", 20s)) << host->errors();
    return host;
  }
  std::unique_ptr<ChildProcess> client(const std::string& code, const std::string& token = "") {
    std::vector<std::string> args{"connect", "127.0.0.1", "--code", code, "--name", "Tester"};
    if (!token.empty()) {
      args.push_back("--token");
      args.push_back(token);
    }
    return std::make_unique<ChildProcess>(kClient, args,
                                          std::map<std::string, std::string>{{"AMBREL_HOME", clientHome.path().string()}});
  }
  static std::string codeIn(const std::string& text) {
    std::smatch m;
    return std::regex_search(text, m, std::regex("[A-Z0-9]{3}-[A-Z0-9]{3}-[A-Z0-9]{3}-[A-Z0-9]{3}")) ? m[0].str() : "";
  }
};

TEST_F(ControlCommandTest, CommandsNeedARunningHostExceptSettings) {
  auto code = command({"code"});
  EXPECT_EQ(code.status, 1);
  EXPECT_EQ(code.err, "Ambrel Host isn't running.\n");
  EXPECT_EQ(command({"settings", "quality", "sharp"}).status, 0);
  EXPECT_EQ(command({"settings", "quality"}).out, "\"sharp\"\n");
  auto bad = command({"settings", "quality", "ultra"});
  EXPECT_EQ(bad.status, 64);
  EXPECT_EQ(bad.err, "quality takes smooth, balanced or sharp.\n");
}

TEST_F(ControlCommandTest, CodeNewCodeAndDisconnectAllAgainstARunningHost) {
  auto host = startHost();
  auto socket = home.path() / "run" / "control.sock";
  struct stat st {};
  ASSERT_EQ(::stat(socket.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  auto shown = command({"code"});
  ASSERT_EQ(shown.status, 0) << shown.err;
  auto code = codeIn(shown.out);
  EXPECT_EQ(shown.out, "Your Ambrel access code is " + code + ".\n");
  EXPECT_NE(host->output().find("Access code: " + code), std::string::npos);

  EXPECT_EQ(command({"disconnect-all"}).out, "Nobody was connected.\n");

  // Two devices waiting for approval are both disconnected.
  auto a = client(code);
  auto b = client(code);
  ASSERT_TRUE(a->waitForText("ready", 20s));
  ASSERT_TRUE(b->waitForText("ready", 20s));
  ASSERT_TRUE(std::regex_search(command({"status"}).out, std::regex("waiting for approval[^]*waiting for approval")));
  EXPECT_EQ(command({"disconnect-all"}).out, "Disconnected 2 devices.\n");
  EXPECT_EQ(a->wait(10s), 0);
  EXPECT_NE(a->output().find(R"(bye {"reason":"Disconnected by the host."})"), std::string::npos);
  EXPECT_EQ(b->wait(10s), 0);

  auto fresh = command({"new-code"});
  ASSERT_EQ(fresh.status, 0);
  auto newCode = codeIn(fresh.out);
  EXPECT_NE(newCode, code);
  EXPECT_EQ(fresh.out, "New access code: " + newCode + ".\n");
  EXPECT_EQ(command({"code"}).out, "Your Ambrel access code is " + newCode + ".\n");

  auto stale = client(code);
  EXPECT_EQ(stale->wait(20s), 2);  // wrong access code
  host->signal(SIGTERM);
  EXPECT_EQ(host->wait(10s), 0);
}

TEST_F(ControlCommandTest, ApprovalAnswersFromTheCommandLine) {
  auto host = startHost();
  auto code = codeIn(command({"code"}).out);
  auto device = client(code);
  ASSERT_TRUE(device->waitForText("ready", 20s));
  std::smatch m;
  std::string status;
  for (int i = 0; i < 100; ++i) {
    status = command({"status"}).out;
    if (std::regex_search(status, m, std::regex("([0-9A-F-]{36})  Tester  127.0.0.1  waiting for approval"))) break;
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_FALSE(m.empty()) << status;
  auto id = m[1].str();
  EXPECT_EQ(command({"approve", "nonsense"}).status, 1);
  auto always = command({"always", id.substr(0, 8)});
  EXPECT_EQ(always.out, "Allowed Tester from now on.\n");
  ASSERT_TRUE(device->waitForText("helloAck", 10s));
  EXPECT_NE(command({"status"}).out.find("connected, in control"), std::string::npos);
  auto trusted = command({"trusted"});
  EXPECT_NE(trusted.out.find("Tester (unknown)"), std::string::npos);
  auto fingerprint = trusted.out.substr(0, 39);
  EXPECT_EQ(command({"forget", fingerprint}).out, "Forgot Tester.\n");
  EXPECT_EQ(command({"trusted"}).out, "No trusted devices.\n");
  host->signal(SIGTERM);
  EXPECT_EQ(host->wait(10s), 0);
  EXPECT_NE(device->output().find(R"(bye {"reason":"Ambrel Host quit."})"), std::string::npos);
}

}  // namespace
}  // namespace ambrel
