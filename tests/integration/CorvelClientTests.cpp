#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

#include <nlohmann/json.hpp>

#include "CorvelKit/base/Base64.h"
#include "CorvelKit/base/Bytes.h"
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

// A canary: the access code, the support code and the owner token go through a whole session
// at the most talkative log level, and appear nowhere but in the keychain.
TEST(CorvelClientSecrets, SecretsAppearNowhereButInTheKeychain) {
  corvel::test::HostProcess::Options options;
  options.environment["AMBREL_LOG_LEVEL"] = "trace";
  corvel::test::HostProcess host(kHost, options);
  ASSERT_TRUE(host.isReady()) << host.process().errors();
  corvel::test::TemporaryFolder clientHome;
  const std::map<std::string, std::string> env{{"AMBREL_HOME", host.home().string()}};

  ChildProcess support(kHost, {"support", "start"}, env);
  ASSERT_EQ(support.wait(10s), 0) << support.errors();
  std::smatch found;
  const auto supportOutput = support.output();
  ASSERT_TRUE(std::regex_search(supportOutput, found, std::regex("[A-Z0-9]{3}(-[A-Z0-9]{3}){3}")));
  const std::string supportCode = found[0];
  ChildProcess helper(kClient, {"connect", "127.0.0.1", "--code", supportCode, "--seconds", "1"},
                      {{"AMBREL_HOME", clientHome.path().string()}});
  helper.wait(30s);
  ChildProcess end(kHost, {"support", "end"}, env);
  end.wait(10s);
  ChildProcess viewer(kClient, {"connect", "127.0.0.1", "--code", host.accessCode(), "--seconds", "0"},
                      {{"AMBREL_HOME", clientHome.path().string()}});
  ASSERT_EQ(viewer.wait(30s), 0) << viewer.output();
  ChildProcess wrong(kClient, {"connect", "127.0.0.1", "--code", "AAA-AAA-AAA-AAA"},
                     {{"AMBREL_HOME", clientHome.path().string()}});
  wrong.wait(30s);
  ASSERT_EQ(host.stop(), 0);

  auto forms = [](const std::string& code) {
    std::string bare;
    for (char c : code)
      if (c != '-') bare.push_back(c);
    return std::vector<std::string>{code, bare};
  };
  std::vector<std::string> secrets = forms(host.accessCode());
  for (auto& f : forms(supportCode)) secrets.push_back(f);
  // The owner token is in the keychain file only; read it from there to look for it elsewhere.
  const auto keychain = host.home() / "config" / "keychain.json";
  std::ifstream in(keychain);
  const auto keychainText = std::string(std::istreambuf_iterator<char>(in), {});
  const auto items = nlohmann::json::parse(keychainText, nullptr, false);
  ASSERT_TRUE(items.is_object()) << keychainText.size();
  for (const auto& item : items["items"]) {
    if (item["account"] != "host.iCloudToken") continue;
    auto token = corvel::Base64::decode(item["value"].get<std::string>());
    ASSERT_TRUE(token);
    secrets.emplace_back(corvel::asString(*token));
  }
  ASSERT_EQ(secrets.size(), 5u);

  std::vector<std::pair<std::string, std::string>> places{{"stderr", host.process().errors()}};
  for (const auto& entry : std::filesystem::recursive_directory_iterator(host.home())) {
    if (!entry.is_regular_file() || entry.path().filename().string().starts_with("keychain.json")) continue;
    std::ifstream file(entry.path(), std::ios::binary);
    places.emplace_back(entry.path().string(), std::string(std::istreambuf_iterator<char>(file), {}));
  }
  ASSERT_GT(places.size(), 2u);
  bool sawLog = false;
  for (const auto& [where, text] : places) {
    sawLog = sawLog || text.find("new connection from") != std::string::npos;
    for (const auto& secret : secrets) EXPECT_EQ(text.find(secret), std::string::npos) << secret << " in " << where;
  }
  EXPECT_TRUE(sawLog);
}

}  // namespace
}  // namespace ambrel
