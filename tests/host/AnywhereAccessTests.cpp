#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "Ambrel_Host/reach/AnywhereAccess.h"
#include "Ambrel_Host/reach/NatHostPuncher.h"
#include "Ambrel_Host/reach/OwnerSecret.h"
#include "Ambrel_Host/reach/PortMapper.h"
#include "CorvelKit/cloud/OwnerKey.h"
#include "CorvelKit/cloud/SqliteCloudDatabase.h"
#include "tests/support/HostRig.h"
#include "tests/support/ScriptedGateway.h"
#include "tests/support/StunServer.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;
using corvel::Date;
using corvel::cloud::CloudMac;
using corvel::cloud::CorvelCloud;
using corvel::cloud::SqliteCloudDatabase;
using corvel::net::CloudAction;

constexpr const char* kMacID = "6F1D5C2A-1111-4222-8333-444455556666";

class AnywhereAccessTest : public ::testing::Test {
 protected:
  void start(const std::filesystem::path& store, std::vector<std::string> ipv6 = {},
             std::optional<std::string> ownerSecret = {}) {
    anywhere = std::make_unique<AnywhereAccess>(
        rig.host->context(), std::make_shared<SqliteCloudDatabase>(store), kMacID,
        [ipv6] {
          CloudMac mac;
          mac.name = "Studio";
          mac.lanAddresses = {"192.168.1.4"};
          mac.ipv6Addresses = ipv6;
          mac.accessCode = "ABCDEFGHJKLM";
          mac.identity = "0123 4567 89AB CDEF 0123 4567 89AB CDEF";
          return mac;
        },
        [this](CloudAction action, const std::string& sender) { performed.emplace_back(action, sender); });
    if (ownerSecret) anywhere->useOwnerSecret(ownerSecret);
    anywhere->start();
  }

  // The database work runs on a queue of its own: settle until `done` holds (5 s at most).
  template <class F>
  bool settleUntil(F done, std::chrono::milliseconds limit = 5s) {
    for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
      rig.settle();
      if (done()) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  Date wallNow() const { return Date::fromTimePoint(rig.clock->wallNow()); }

  test::HostRig rig;
  std::filesystem::path file = rig.home.path() / "cloud.sqlite";
  CorvelCloud phone{std::make_shared<SqliteCloudDatabase>(file)};
  std::vector<std::pair<CloudAction, std::string>> performed;
  std::unique_ptr<AnywhereAccess> anywhere;
};

TEST_F(AnywhereAccessTest, PublishesAtStartAndAgainAboutEveryFiveMinutes) {
  start(file, {"2001:db8::4"});
  EXPECT_EQ(anywhere->status(), "Starting…");
  ASSERT_TRUE(settleUntil([&] { return anywhere->status() == "Reachable from anywhere"; }))
      << anywhere->status();
  auto first = phone.fetchAll();
  ASSERT_TRUE(first);
  ASSERT_EQ(first->macs.size(), 1u);
  EXPECT_EQ(first->macs[0].id, kMacID);
  EXPECT_EQ(first->macs[0].name, "Studio");
  EXPECT_TRUE(first->macs[0].isOnline(wallNow()));

  // Within five minutes and a tick a new publication moves lastSeen on.
  rig.advance(330s, 30s);
  EXPECT_TRUE(settleUntil([&] {
    auto now = phone.fetchAll();
    return now && now->macs.size() == 1 && now->macs[0].lastSeen > first->macs[0].lastSeen;
  }));
}

// The router's forwarding of the listening port goes into the record as its public endpoint,
// at once, and makes the computer reachable without IPv6; stopping removes the mapping.
TEST_F(AnywhereAccessTest, TheRoutersPortMappingIsPublished) {
  corvel::test::ScriptedGateway router("127.0.0.1", 0,
                                       corvel::test::ScriptedGateway::granting("203.0.113.7", 40000, 7200));
  ASSERT_TRUE(router.isBound());
  PortMapper::Options options;
  options.gateway = [] { return std::optional<std::string>("127.0.0.1"); };
  options.gatewayPort = router.port();
  auto mapper = std::make_shared<PortMapper>(rig.io.get_executor(), rig.clock, options);
  anywhere = std::make_unique<AnywhereAccess>(
      rig.host->context(), std::make_shared<SqliteCloudDatabase>(file), kMacID,
      [] {
        CloudMac mac;
        mac.name = "Studio";
        return mac;
      },
      nullptr);
  anywhere->usePortMapper(mapper, 5895);
  anywhere->start();
  ASSERT_TRUE(settleUntil([&] {
    auto all = phone.fetchAll();
    return all && all->macs.size() == 1 && all->macs[0].publicPort == 40000;
  }));
  EXPECT_EQ(phone.fetchAll()->macs[0].publicAddress, "203.0.113.7");
  EXPECT_EQ(phone.fetchAll()->macs[0].internetEndpoints(), std::vector<std::string>{"203.0.113.7:40000"});
  EXPECT_TRUE(settleUntil([&] { return anywhere->status() == "Reachable from anywhere"; }))
      << anywhere->status();

  anywhere->stop();
  auto requests = router.waitFor(3, 2s);
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(corvel::hexString(requests[2].bytes), "000200001707000000000000");
}

// A hole-punch listener that records what it is asked.
struct RecordingListener final : NatHostPuncher::Listener {
  struct Calls {
    std::vector<std::uint16_t> listened;
    std::vector<corvel::net::StunReflexive> punched;
    int stopped = 0;
  };
  explicit RecordingListener(std::shared_ptr<Calls> calls) : calls(std::move(calls)) {}
  std::error_code listen(std::uint16_t port) override {
    calls->listened.push_back(port);
    return {};
  }
  void punch(const corvel::net::StunReflexive& toward) override { calls->punched.push_back(toward); }
  void stop() override { ++calls->stopped; }
  std::shared_ptr<Calls> calls;
};

// With hole punching, the public address a STUN server saw goes into the record, the listener
// opens on the port it was seen from, and a fresh viewer candidate is punched toward at each poll;
// a stale one is not.
TEST_F(AnywhereAccessTest, HolePunchingPublishesTheAddressAndPunchesTowardFreshViewers) {
  corvel::test::StunServer stun;
  ASSERT_TRUE(stun.isRunning()) << stun.errors();
  auto calls = std::make_shared<RecordingListener::Calls>();
  auto puncher = std::make_shared<NatHostPuncher>(
      rig.io.get_executor(), std::make_unique<RecordingListener>(calls),
      NatHostPuncher::Options{stun.address(), stun.port(), std::chrono::seconds(4)});
  anywhere = std::make_unique<AnywhereAccess>(
      rig.host->context(), std::make_shared<SqliteCloudDatabase>(file), kMacID,
      [] {
        CloudMac mac;
        mac.name = "Studio";
        return mac;
      },
      nullptr);
  anywhere->useHolePunching(puncher);
  anywhere->start();
  ASSERT_TRUE(settleUntil([&] {
    auto all = phone.fetchAll();
    return all && all->macs.size() == 1 && all->macs[0].natPort.has_value();
  }));
  const auto mac = phone.fetchAll()->macs[0];
  EXPECT_EQ(mac.natHost, "127.0.0.1");
  ASSERT_EQ(calls->listened.size(), 1u);
  EXPECT_EQ(mac.natPort, calls->listened[0]);

  // A viewer's candidate a minute old: punched at the next poll. One three minutes old: not.
  ASSERT_FALSE(phone.publishViewerCandidate(kMacID, {"198.51.100.7", 50123},
                                            Date(wallNow().secondsSinceReferenceDate() - 60)));
  rig.advance(30s, 30s);
  ASSERT_TRUE(settleUntil([&] { return !calls->punched.empty(); }));
  EXPECT_EQ(calls->punched[0], (corvel::net::StunReflexive{"198.51.100.7", 50123}));
  ASSERT_FALSE(phone.publishViewerCandidate(kMacID, {"198.51.100.8", 50124},
                                            Date(wallNow().secondsSinceReferenceDate() - 180)));
  const auto punches = calls->punched.size();
  rig.advance(30s, 30s);
  settleUntil([] { return false; }, 500ms);
  EXPECT_EQ(calls->punched.size(), punches);

  anywhere->stop();
  EXPECT_EQ(calls->stopped, 1);
}

TEST_F(AnywhereAccessTest, CommandsRunOnceAndAreDeletedAndStaleOnesAreDeletedUnrun) {
  start(file);
  ASSERT_TRUE(settleUntil([&] {
    return anywhere->status() == "Home network only (router didn't open a port)";
  })) << anywhere->status();

  ASSERT_FALSE(phone.send(CloudAction::lockScreen, kMacID, "Phone", wallNow()));
  ASSERT_FALSE(phone.send(CloudAction::newCode, kMacID, "Old tablet", Date(wallNow().secondsSinceReferenceDate() - 601)));
  ASSERT_FALSE(phone.send(CloudAction::playSound, "another-mac", "Phone", wallNow()));
  // A command this version cannot read: skipped with a log line, neither run nor deleted.
  auto store = std::make_shared<SqliteCloudDatabase>(file);
  ASSERT_TRUE(store->save(CorvelCloud::zone,
                          corvel::cloud::CloudRecord{"Command", "garbled",
                                                     {{"macID", std::string(kMacID)},
                                                      {"action", std::string("lockScreen")},
                                                      {"createdAt", std::string("now")}},
                                                     {}},
                          corvel::cloud::SavePolicy::overwrite));

  // The database's change signal starts a poll: no tick needed.
  ASSERT_TRUE(settleUntil([&] { return !performed.empty(); }));
  ASSERT_TRUE(settleUntil([&] {
    auto all = phone.fetchAll();
    return all && all->commands.size() == 1;
  }));
  EXPECT_EQ(phone.fetchAll()->commands[0].macID, "another-mac") << "another host's command stays";
  EXPECT_TRUE(store->fetch(CorvelCloud::zone, "garbled")) << "an unreadable command stays";

  rig.advance(60s, 30s);
  settleUntil([] { return false; }, 1s);  // give further polls their time
  ASSERT_EQ(performed.size(), 1u) << "run once; the stale command never";
  EXPECT_EQ(performed[0], std::make_pair(CloudAction::lockScreen, std::string("Phone")));
}

TEST_F(AnywhereAccessTest, AnUnreachableDatabaseShowsInTheStatusAndIsTriedAgainEveryTick) {
  // A "folder" that is a file: the store cannot be opened while it is there.
  const auto blocker = rig.home.path() / "blocker";
  std::ofstream(blocker) << "x";
  start(blocker / "cloud.sqlite");
  ASSERT_TRUE(settleUntil([&] { return anywhere->status().starts_with("iCloud: "); }))
      << anywhere->status();
  rig.advance(60s, 30s);
  EXPECT_TRUE(anywhere->status().starts_with("iCloud: "));
  ASSERT_TRUE(anywhere->lastError());
  EXPECT_FALSE(anywhere->published());

  // The database comes back: the next tick sets the zone up, polls, and publishes at once
  // (not minutes later at the scheduled time).
  std::filesystem::remove(blocker);
  CorvelCloud later{std::make_shared<SqliteCloudDatabase>(blocker / "cloud.sqlite")};
  rig.advance(30s, 30s);
  ASSERT_TRUE(settleUntil([&] {
    return anywhere->status() == "Home network only (router didn't open a port)";
  })) << anywhere->status();
  ASSERT_TRUE(anywhere->published());
  EXPECT_TRUE(anywhere->lastError()) << "the last error stays for the cloud command to show";
  std::this_thread::sleep_for(400ms);  // the change watcher settles on the file's current state
  ASSERT_FALSE(later.send(CloudAction::playSound, kMacID, "Phone", wallNow()));
  EXPECT_TRUE(settleUntil([&] { return performed.size() == 1; })) << "the change signal works again";
  anywhere->stop();
  anywhere.reset();
  rig.settle();
}

TEST_F(AnywhereAccessTest, TheOwnerSecretSealsThePrivateFieldsAndCanBeTakenBack) {
  start(file, {}, "owner secret");
  ASSERT_TRUE(settleUntil([&] { return anywhere->published().has_value() && anywhere->hasOwnerKey(); }));
  auto key = std::make_shared<corvel::cloud::OwnerKey>(*corvel::cloud::OwnerKey::derive("owner secret"));
  phone.setOwnerKey(key);
  auto all = phone.fetchAll();
  ASSERT_TRUE(all);
  ASSERT_EQ(all->macs.size(), 1u);
  EXPECT_EQ(all->macs[0].accessCode, "ABCDEFGHJKLM");
  EXPECT_EQ(all->macs[0].identity, "0123 4567 89AB CDEF 0123 4567 89AB CDEF");

  anywhere->useOwnerSecret(std::nullopt);
  ASSERT_TRUE(settleUntil([&] {
    auto now = phone.fetchAll();
    return !anywhere->hasOwnerKey() && now && now->macs.size() == 1 && !now->macs[0].accessCode;
  })) << "republished without the sealed fields";
  auto plain = std::make_shared<SqliteCloudDatabase>(file)->fetch(CorvelCloud::zone, kMacID);
  ASSERT_TRUE(plain);
  EXPECT_FALSE(plain->fields.contains("accessCode"));
  EXPECT_EQ(*plain->string("name"), "Studio");
}

}  // namespace
}  // namespace ambrel

namespace ambrel {
namespace {

TEST(HostCloudCommandsTest, ACommandFromAnotherDeviceReachesTheHostOnceThroughTheController) {
  test::HostRig::Options options;
  options.beforeStart = [] { ASSERT_TRUE(OwnerSecret::save("owner secret")); };
  test::HostRig rig(options, [](const std::filesystem::path& home) {
    return std::make_shared<corvel::cloud::SqliteCloudDatabase>(home / "cloud.sqlite");
  });
  auto settleUntil = [&rig](auto done) {
    for (auto end = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < end;) {
      rig.settle();
      if (done()) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  };
  ASSERT_NE(rig.host->anywhere(), nullptr);
  ASSERT_TRUE(settleUntil([&] { return rig.host->anywhere()->status() != "Starting…"; }));
  const std::string macID = rig.host->anywhere()->macID();
  EXPECT_EQ(rig.host->settings().defaults().string("hostDeviceID"), macID) << "kept for the next start";

  const std::string codeBefore = rig.host->accessCode();
  CorvelCloud phone{std::make_shared<SqliteCloudDatabase>(rig.home.path() / "cloud.sqlite")};
  ASSERT_FALSE(phone.send(CloudAction::newCode, macID, "Phone", Date::fromTimePoint(rig.clock->wallNow())));
  ASSERT_TRUE(settleUntil([&] { return rig.host->accessCode() != codeBefore; }));
  EXPECT_TRUE(rig.notifier->saw("New Access Code"));
  ASSERT_TRUE(settleUntil([&] { return phone.fetchAll()->commands.empty(); }));
  // The new code reaches the owner's devices at once, sealed.
  phone.setOwnerKey(std::make_shared<corvel::cloud::OwnerKey>(*corvel::cloud::OwnerKey::derive("owner secret")));
  EXPECT_TRUE(settleUntil([&] {
    auto all = phone.fetchAll();
    return all && all->macs.size() == 1 && all->macs[0].accessCode == rig.host->accessCode();
  }));

  rig.host->shutdown();
  rig.settle();
}

}  // namespace
}  // namespace ambrel
