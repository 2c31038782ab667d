// The whole loop through one shared database, on each store: two hosts publish and poll, and the
// `corvel` client lists them and queues a command for one of them.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "Ambrel_Host/reach/AnywhereAccess.h"
#include "CorvelKit/cloud/PostgresCloudDatabase.h"
#include "CorvelKit/cloud/SqliteCloudDatabase.h"
#include "tests/cloud/PostgresEnvironment.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/HostRig.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;
using corvel::Date;
using corvel::cloud::CloudDatabase;
using corvel::cloud::CloudMac;
using corvel::cloud::CorvelCloud;
using corvel::net::CloudAction;
using corvel::test::ChildProcess;
using corvel::test::PostgresEnvironment;
using corvel::test::PostgresServer;

const std::string kClient = std::string(CORVEL_BIN_DIR) + "/corvel";

struct Host {
  std::string id;
  std::string name;
  std::string code;
  std::vector<std::pair<CloudAction, std::string>> performed;
  std::unique_ptr<AnywhereAccess> anywhere;
};

class CloudLoopTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() == "postgres") {
      if (PostgresServer::binaries().empty()) {
        GTEST_SKIP() << "PostgreSQL server programs are not installed (/usr/lib/postgresql/*/bin)";
      }
      auto& server = PostgresEnvironment::server();
      ASSERT_TRUE(server.isRunning()) << server.errors();
      static int databases = 0;
      database_ = server.createDatabase("loop_" + std::to_string(++databases));
    } else {
      database_ = (rig.home.path() / "shared" / "cloud.sqlite").string();
    }
    secretFile_ = rig.home.path() / "owner-secret";
    std::ofstream(secretFile_) << "owner secret\n";
    ::chmod(secretFile_.c_str(), 0600);
  }

  std::shared_ptr<CloudDatabase> open() const {
    if (GetParam() == "postgres") return std::make_shared<corvel::cloud::PostgresCloudDatabase>(database_);
    return std::make_shared<corvel::cloud::SqliteCloudDatabase>(database_);
  }

  void start(Host& host) {
    host.anywhere = std::make_unique<AnywhereAccess>(
        rig.host->context(), open(), host.id,
        [&host] {
          CloudMac mac;
          mac.name = host.name;
          mac.lanAddresses = {"192.168.1.4"};
          mac.accessCode = host.code;
          return mac;
        },
        [&host](CloudAction action, const std::string& sender) { host.performed.emplace_back(action, sender); });
    host.anywhere->useOwnerSecret("owner secret");
    host.anywhere->start();
  }

  template <class F>
  bool settleUntil(F done, std::chrono::milliseconds limit = 5s) {
    for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
      rig.settle();
      if (done()) return true;
      std::this_thread::sleep_for(5ms);
    }
    return false;
  }

  // Runs `corvel` against the shared database; its exit status and standard output.
  std::pair<int, std::string> corvel(std::vector<std::string> args) {
    args.push_back("--database");
    args.push_back(database_);
    ChildProcess client(kClient, args);
    auto status = client.wait(30s);
    EXPECT_TRUE(status) << "corvel did not end";
    return {status.value_or(-1), client.output() + client.errors()};
  }

  test::HostRig rig;
  std::string database_;
  std::filesystem::path secretFile_;
  Host studio{"0C6D1E2A-1111-4222-8333-444455556666", "Studio", "ABCDEFGHJKLM", {}, nullptr};
  Host attic{"7F2E3B4C-1111-4222-8333-444455556666", "Attic", "NPQRSTUVWXYZ", {}, nullptr};
};

TEST_P(CloudLoopTest, TwoHostsAndAClientShareOneDatabase) {
  start(studio);
  start(attic);
  ASSERT_TRUE(settleUntil([&] {
    return studio.anywhere->published() && attic.anywhere->published() &&
           studio.anywhere->hasOwnerKey() && attic.anywhere->hasOwnerKey();
  }));
  // Both publish once more with the key in place (the first publish may have raced it).
  ASSERT_TRUE(settleUntil([&] {
    auto all = CorvelCloud(open()).fetchAll();
    return all && all->macs.size() == 2;
  }));

  // The list: every host with its addresses; its access code only with the owner secret.
  auto [status, listed] = corvel({"macs", "--secret-file", secretFile_.string()});
  EXPECT_EQ(status, 0) << listed;
  for (const auto& part : {"Studio  " + studio.id, "Attic  " + attic.id, std::string("(online)"),
                           std::string("local addresses: 192.168.1.4"),
                           "access code: " + studio.code, "access code: " + attic.code}) {
    EXPECT_NE(listed.find(part), std::string::npos) << part << " in\n" << listed;
  }
  std::ofstream(secretFile_) << "not the owner secret\n";
  for (const auto& args : {std::vector<std::string>{"macs"},
                           std::vector<std::string>{"macs", "--secret-file", secretFile_.string()}}) {
    auto [plainStatus, plain] = corvel(args);
    EXPECT_EQ(plainStatus, 0) << plain;
    EXPECT_NE(plain.find("Attic  " + attic.id), std::string::npos) << plain;
    EXPECT_EQ(plain.find(attic.code), std::string::npos) << "no secret, or a wrong one, opens nothing";
  }

  // A command for one host: that host alone performs it, once, woken by the database's change
  // signal (the test clock stands still, so no tick polls), and it is deleted.
  auto [sent, queued] = corvel({"command", "attic", "lockScreen", "--name", "Laptop"});
  ASSERT_EQ(sent, 0) << queued;
  const auto queuedAt = std::chrono::steady_clock::now();
  ASSERT_TRUE(settleUntil([&] { return !attic.performed.empty(); }, 3s));
  EXPECT_LT(std::chrono::steady_clock::now() - queuedAt, 1s) << "the push woke the host within a second";
  ASSERT_TRUE(settleUntil([&] {
    auto all = CorvelCloud(open()).fetchAll();
    return all && all->commands.empty();
  }));

  // A command that waited too long is deleted without being performed.
  ASSERT_FALSE(CorvelCloud(open()).send(CloudAction::newCode, studio.id, "Old tablet",
                                        Date(Date::fromTimePoint(rig.clock->wallNow()).secondsSinceReferenceDate() - 601)));
  ASSERT_TRUE(settleUntil([&] {
    auto all = CorvelCloud(open()).fetchAll();
    return all && all->commands.empty();
  }));

  rig.advance(90s, 30s);  // further polls find nothing more to do
  settleUntil([] { return false; }, 500ms);
  ASSERT_EQ(attic.performed.size(), 1u);
  EXPECT_EQ(attic.performed[0], std::make_pair(CloudAction::lockScreen, std::string("Laptop")));
  EXPECT_TRUE(studio.performed.empty());

  // Bad requests fail plainly.
  EXPECT_EQ(corvel({"command", "Cellar", "lockScreen"}).first, 1);
  EXPECT_EQ(corvel({"command", "Attic", "selfDestruct"}).first, 64);

  studio.anywhere->stop();
  attic.anywhere->stop();
  studio.anywhere.reset();
  attic.anywhere.reset();
  rig.settle();
}

INSTANTIATE_TEST_SUITE_P(Stores, CloudLoopTest, ::testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace ambrel
