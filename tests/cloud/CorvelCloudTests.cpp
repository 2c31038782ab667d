#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <thread>

#include "CorvelKit/cloud/CorvelCloud.h"
#include "CorvelKit/cloud/NatPuncher.h"
#include "CorvelKit/cloud/SqliteCloudDatabase.h"
#include "tests/support/StunServer.h"
#include "tests/support/TemporaryFolder.h"

namespace corvel::cloud {
namespace {

using net::CloudAction;

class CorvelCloudTest : public ::testing::Test {
 protected:
  test::TemporaryHome home;
  std::shared_ptr<CloudDatabase> db = std::make_shared<SqliteCloudDatabase>();
  CorvelCloud cloud{db};
  void SetUp() override { ASSERT_FALSE(cloud.ensureZone()); }
};

TEST_F(CorvelCloudTest, PublishedMacsAndSentCommandsReadBackAndForeignRecordsAreSkipped) {
  CloudMac mac;
  mac.id = "9A0C2E1D-0000-4000-8000-000000000001";
  mac.name = "Studio";
  mac.model = "ThinkCentre";
  mac.lastSeen = Date(790'000'000);
  mac.lanAddresses = {"192.168.1.4"};
  mac.ipv6Addresses = {"2001:db8::4"};
  mac.publicAddress = "203.0.113.9";
  mac.publicPort = 40000;
  ASSERT_FALSE(cloud.publish(mac));
  ASSERT_FALSE(cloud.send(CloudAction::lockScreen, mac.id, "Phone", Date(790'000'010)));

  // Records this version cannot use: an unknown action, no target, fields of the wrong type,
  // another type.
  for (auto [type, fields] : std::vector<std::pair<std::string, std::map<std::string, CloudValue>>>{
           {"Command", {{"macID", std::string(mac.id)}, {"action", std::string("selfDestruct")}}},
           {"Command", {{"action", std::string("playSound")}}},
           {"Command", {{"macID", std::int64_t{7}}, {"action", std::string("playSound")}}},
           {"Command", {{"macID", std::string(mac.id)}, {"action", std::string("playSound")},
                        {"createdAt", std::string("yesterday")}}},
           {"Mac", {{"name", std::int64_t{1}}}},
           {"Mac", {{"lanAddresses", std::string("192.168.1.9")}}},
           {"Mac", {{"publicPort", std::string("5895")}}},
           {"Mac", {{"lastSeen", 790'000'000.0}}},
           {"NATCandidate", {{"host", std::string("198.51.100.1")}}}}) {
    static int n = 0;
    ASSERT_TRUE(db->save(CorvelCloud::zone, CloudRecord{type, "odd-" + std::to_string(++n), fields, {}},
                         SavePolicy::overwrite));
  }

  auto all = cloud.fetchAll();
  ASSERT_TRUE(all) << all.error().message();
  ASSERT_EQ(all->macs.size(), 1u);
  EXPECT_EQ(all->macs[0], mac);
  ASSERT_EQ(all->commands.size(), 1u);
  EXPECT_EQ(all->commands[0].macID, mac.id);
  EXPECT_EQ(all->commands[0].action, CloudAction::lockScreen);
  EXPECT_EQ(all->commands[0].sender, "Phone");
  EXPECT_EQ(all->commands[0].createdAt, Date(790'000'010));

  ASSERT_FALSE(cloud.remove(all->commands));
  EXPECT_TRUE(cloud.fetchAll()->commands.empty());
  EXPECT_NE(cloud.accountSummary().find("account status 1 (1 = available), user "), std::string::npos);
}

TEST(CloudMacTest, EndpointsOnlineWindowAndReadDefaults) {
  CloudMac mac;
  mac.lastSeen = Date(1000);
  mac.ipv6Addresses = {"2001:db8::1", "2001:db8::2"};
  mac.publicAddress = "203.0.113.9";
  EXPECT_EQ(mac.internetEndpoints(), (std::vector<std::string>{"[2001:db8::1]:5895", "[2001:db8::2]:5895"}))
      << "an address without its port is no endpoint";
  mac.publicPort = 41000;
  EXPECT_EQ(mac.internetEndpoints().front(), "203.0.113.9:41000");
  EXPECT_TRUE(mac.isOnline(Date(1599)));
  EXPECT_FALSE(mac.isOnline(Date(1600)));

  auto bare = CloudMac::from(CloudRecord{"Mac", "id-1", {}, {}});
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->name, "Mac");
  EXPECT_FALSE(bare->isOnline(Date::now()));
  EXPECT_FALSE(CloudMac::from(CloudRecord{"Command", "id-1", {}, {}}));

  auto command = CloudCommand::from(
      CloudRecord{"Command", "c-1", {{"macID", std::string("m")}, {"action", std::string("newCode")}}, {}});
  ASSERT_TRUE(command);
  EXPECT_EQ(command->sender, "Another device");
}

TEST_F(CorvelCloudTest, ViewerCandidatesAreUsedWhileFresh) {
  const std::string macID = "9A0C2E1D-0000-4000-8000-000000000001";
  const Date published(790'000'000);
  EXPECT_FALSE(cloud.viewerCandidate(macID, 120, published)) << "none yet";
  ASSERT_FALSE(cloud.publishViewerCandidate(macID, {"198.51.100.7", 50123}, published));
  const net::StunReflexive expected{"198.51.100.7", 50123};
  EXPECT_EQ(cloud.viewerCandidate(macID, 120, Date(790'000'119)), expected);
  EXPECT_FALSE(cloud.viewerCandidate(macID, 120, Date(790'000'121)));
  EXPECT_FALSE(cloud.viewerCandidate("9A0C2E1D-0000-4000-8000-000000000002", 120, published));

  // A newer publish replaces the record; a malformed one is not used.
  ASSERT_FALSE(cloud.publishViewerCandidate(macID, {"2001:db8::7", 6000}, Date(790'000'200)));
  EXPECT_EQ(cloud.viewerCandidate(macID, 120, Date(790'000'201)),
            (net::StunReflexive{"2001:db8::7", 6000}));
  for (auto fields : std::vector<std::map<std::string, CloudValue>>{
           {{"host", std::string("198.51.100.7")}, {"port", std::int64_t{0}}, {"updatedAt", published}},
           {{"host", std::string("198.51.100.7")}, {"port", std::int64_t{70000}}, {"updatedAt", published}},
           {{"host", std::string("198.51.100.7")}, {"port", std::string("5000")}, {"updatedAt", published}},
           {{"host", std::string("198.51.100.7")}, {"port", std::int64_t{5000}}},
           {{"port", std::int64_t{5000}}, {"updatedAt", published}}}) {
    ASSERT_TRUE(db->save(CorvelCloud::zone, CloudRecord{"NATCandidate", "nat-" + macID + "-viewer", fields, {}},
                         SavePolicy::overwrite));
    EXPECT_FALSE(cloud.viewerCandidate(macID, 120, Date(790'000'001)));
  }
}

// The viewer's side: its public address reaches the database for the host, and then (not before)
// the hole-punched way to the host's address is offered from the port the STUN server saw.
TEST_F(CorvelCloudTest, TheViewersPuncherPublishesItsAddressThenOffersTheWay) {
  test::StunServer stun;
  ASSERT_TRUE(stun.isRunning()) << stun.errors();
  boost::asio::io_context io;
  auto work = boost::asio::make_work_guard(io);
  std::thread runner([&] { io.run(); });
  const std::string macID = "9A0C2E1D-0000-4000-8000-000000000001";
  auto shared = std::make_shared<CorvelCloud>(db);
  auto puncher = NatPuncher::begin(io.get_executor(), shared, macID, {"203.0.113.9", 41000},
                                   {stun.address(), stun.port(), std::chrono::seconds(4)});
  EXPECT_TRUE(puncher->isPending());
  std::optional<net::ConnectCandidate> ready;
  for (int i = 0; i < 400 && !ready; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ready = puncher->readyCandidate();
  }
  ASSERT_TRUE(ready);
  EXPECT_FALSE(puncher->isPending());
  EXPECT_EQ(ready->endpoint.host, "203.0.113.9");
  EXPECT_EQ(ready->endpoint.port, 41000);
  ASSERT_TRUE(ready->holePunchPort);
  EXPECT_EQ(ready->key(), "203.0.113.9:41000|*|quic");
  const auto published = cloud.viewerCandidate(macID, 120);
  ASSERT_TRUE(published);
  EXPECT_EQ(*published, (net::StunReflexive{"127.0.0.1", *ready->holePunchPort}));
  puncher->stop();
  EXPECT_FALSE(puncher->readyCandidate());

  // No STUN server: no way offered, and none is on its way once discovery has given up (on
  // loopback that can be at once).
  auto lost = NatPuncher::begin(io.get_executor(), shared, macID, {"203.0.113.9", 41000},
                                {"127.0.0.1", 9, std::chrono::milliseconds(200)});
  for (int i = 0; i < 200 && lost->isPending(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(lost->isPending());
  EXPECT_FALSE(lost->readyCandidate());
  work.reset();
  io.stop();
  runner.join();
}

}  // namespace
}  // namespace corvel::cloud
