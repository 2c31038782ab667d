#include <gtest/gtest.h>

#include <regex>

#include "tests/support/ChildProcess.h"
#include "tests/support/HostProcess.h"
#include "tests/support/TemporaryFolder.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;
using corvel::test::ChildProcess;

const std::string kHost = std::string(CORVEL_BIN_DIR) + "/ambrel-host";
const std::string kClient = std::string(CORVEL_BIN_DIR) + "/corvel";

// The real programs against each other: the host as it starts on its defaults, the client as a
// person would run it.
class CorvelClientTest : public ::testing::Test {
 protected:
  corvel::test::TemporaryFolder clientHome;
  std::unique_ptr<corvel::test::HostProcess> host;
  std::string code, fingerprint;

  void SetUp() override {
    host = std::make_unique<corvel::test::HostProcess>(kHost, corvel::test::HostProcess::Options{});
    ASSERT_TRUE(host->isReady()) << host->process().errors();
    code = host->accessCode();
    fingerprint = host->fingerprint();
    ASSERT_TRUE(std::regex_match(code, std::regex("[A-Z0-9-]{15}"))) << code;
    ASSERT_EQ(fingerprint.size(), 39u);
  }
  void TearDown() override {
    if (host) EXPECT_EQ(host->stop(), 0);
  }

  std::pair<std::optional<int>, std::string> runClient(std::vector<std::string> args) {
    args.insert(args.begin(), "connect");
    ChildProcess client(kClient, args, {{"AMBREL_HOME", clientHome.path().string()}});
    auto status = client.wait(30s);
    return {status, client.output()};
  }
};

TEST_F(CorvelClientTest, ExitStatusTellsTheOutcomes) {
  auto [ok, okOutput] = runClient({"127.0.0.1", "--code", code, "--pin", fingerprint, "--seconds", "1"});
  EXPECT_EQ(ok, 0) << okOutput;
  EXPECT_NE(okOutput.find("host identity: " + fingerprint), std::string::npos);

  // Codes are compared in normalised form: lower case without dashes works too.
  std::string typed;
  for (char c : code)
    if (c != '-') typed.push_back(static_cast<char>(std::tolower(c)));
  EXPECT_EQ(runClient({"localhost:5895", "--code", typed, "--seconds", "0"}).first, 0);

  auto [wrong, wrongOutput] = runClient({"127.0.0.1", "--code", "AAA-AAA-AAA-AAA"});
  EXPECT_EQ(wrong, 2) << wrongOutput;

  auto [changed, changedOutput] =
      runClient({"127.0.0.1", "--code", code, "--pin", "0000 0000 0000 0000 0000 0000 0000 0000"});
  EXPECT_EQ(changed, 3) << changedOutput;
  EXPECT_NE(changedOutput.find("got " + fingerprint), std::string::npos);

  EXPECT_EQ(runClient({"127.0.0.1:5999", "--code", code}).first, 4);
  EXPECT_EQ(runClient({"127.0.0.1:99999", "--code", code}).first, 64);
}

TEST_F(CorvelClientTest, SecretsStayOutOfTheHostLog) {
  auto [ok, output] = runClient({"127.0.0.1", "--code", code, "--seconds", "0"});
  ASSERT_EQ(ok, 0) << output;
  ASSERT_EQ(host->stop(), 0);
  auto log = host->process().errors();
  EXPECT_NE(log.find("new connection from"), std::string::npos);
  EXPECT_EQ(log.find(code), std::string::npos);
  std::string normalized;
  for (char c : code)
    if (c != '-') normalized.push_back(c);
  EXPECT_EQ(log.find(normalized), std::string::npos);
  host.reset();
}

}  // namespace
}  // namespace ambrel
