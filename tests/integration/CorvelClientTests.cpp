#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

#include <nlohmann/json.hpp>

#include "CorvelKit/base/Base64.h"
#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/cloud/CorvelCloud.h"
#include "CorvelKit/cloud/OwnerKey.h"
#include "CorvelKit/cloud/SqliteCloudDatabase.h"
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

// A host id from the owner's cloud database: the client races every address in the record (the
// first here goes nowhere, the second is the host) and takes the code and identity from its
// sealed fields.
TEST_F(CorvelClientTest, AHostIdRacesTheAddressesOfItsRecord) {
  const auto database = (clientHome.path() / "cloud.sqlite").string();
  const auto secretFile = (clientHome.path() / "owner-secret").string();
  std::ofstream(secretFile) << "owner secret\n";
  corvel::cloud::CorvelCloud cloud(std::make_shared<corvel::cloud::SqliteCloudDatabase>(database));
  cloud.setOwnerKey(std::make_shared<corvel::cloud::OwnerKey>(*corvel::cloud::OwnerKey::derive("owner secret")));
  ASSERT_FALSE(cloud.ensureZone());
  auto record = [&](std::string id, std::vector<std::string> lan, std::optional<std::string> code) {
    corvel::cloud::CloudMac mac;
    mac.id = std::move(id);
    mac.name = "Studio";
    mac.lastSeen = corvel::Date::now();
    mac.lanAddresses = std::move(lan);
    // Nothing listens on port 1: refused at once.
    mac.publicAddress = "127.0.0.1";
    mac.publicPort = 1;
    mac.accessCode = std::move(code);
    mac.identity = fingerprint;
    EXPECT_FALSE(cloud.publish(mac));
    return mac.id;
  };
  const auto reachable = record("0C6D1E2A-1111-4222-8333-444455556666", {"192.0.2.1", "127.0.0.1"}, code);
  const auto refusing = record("1C6D1E2A-1111-4222-8333-444455556666", {}, code);
  const auto stale = record("2C6D1E2A-1111-4222-8333-444455556666", {"127.0.0.1"}, "AAA-AAA-AAA-AAA");
  const auto sealedAway = record("3C6D1E2A-1111-4222-8333-444455556666", {"127.0.0.1"}, std::nullopt);
  auto byID = [&](const std::string& id, std::vector<std::string> more = {}) {
    std::vector<std::string> args = {id, "--database", database, "--secret-file", secretFile};
    args.insert(args.end(), more.begin(), more.end());
    return runClient(args);
  };

  auto [ok, okOutput] = byID(reachable, {"--seconds", "1"});
  EXPECT_EQ(ok, 0) << okOutput;
  EXPECT_NE(okOutput.find("reached 127.0.0.1:5895"), std::string::npos) << okOutput;
  EXPECT_NE(okOutput.find("host identity: " + fingerprint), std::string::npos) << okOutput;

  // Every address refused: the race ends early with the reason, not at its time-out.
  const auto before = std::chrono::steady_clock::now();
  auto [refused, refusedOutput] = byID(refusing);
  EXPECT_EQ(refused, 4) << refusedOutput;
  EXPECT_NE(refusedOutput.find("connection failed: Connection refused"), std::string::npos) << refusedOutput;
  EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);

  // The host refuses the record's old code; the code given on the command line wins over it.
  EXPECT_EQ(byID(stale).first, 2);
  EXPECT_EQ(byID(stale, {"--code", code, "--seconds", "0"}).first, 0);
  // No code anywhere.
  EXPECT_EQ(byID(sealedAway).first, 64);
  EXPECT_EQ(byID("4C6D1E2A-1111-4222-8333-444455556666").first, 1) << "no such host";
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
