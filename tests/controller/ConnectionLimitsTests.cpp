#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>

#include "CorvelKit/net/PeerSource.h"
#include "tests/support/HostRig.h"

namespace ambrel::test {
namespace {

using corvel::protocol::MessageType;
using std::chrono::seconds;

TEST(PeerSourceTest, IPv6AddressesAreGroupedByTheirNetwork) {
  struct Case {
    const char* address;
    const char* source;
  };
  const Case cases[] = {
      {"192.168.1.20", "192.168.1.20"},
      {"::ffff:192.168.1.20", "192.168.1.20"},
      {"2001:db8:1:2:aaaa::1", "2001:db8:1:2::/64"},
      {"2001:db8:1:2:bbbb:cccc:dddd:eeee", "2001:db8:1:2::/64"},
      {"fe80::1%eth0", "fe80::/64"},
      {"not an address", "not an address"},
  };
  for (const auto& c : cases) EXPECT_EQ(corvel::net::PeerSource::of(c.address), c.source) << c.address;
}

TEST(ConnectionLimitsTest, APeersFailureNeverRestartsTheListener) {
  HostRig rig;
  const int advertised = rig.advertiser->advertised;
  const auto state = rig.host->listenerState();
  for (int i = 0; i < 50; ++i) {
    auto p = rig.connect();
    if (i % 2 == 0) {
      p.connection->hangUp();  // gone before or after TLS
    } else {
      rig.join("Phone").connection->hangUp();
    }
    rig.settle();
  }
  EXPECT_EQ(rig.advertiser->advertised, advertised);
  EXPECT_EQ(rig.host->listenerState(), state);
}

TEST(ConnectionLimitsTest, APortThatCannotBeBoundIsTriedAgain) {
  boost::asio::io_context io;
  auto taken = std::make_unique<boost::asio::ip::tcp::acceptor>(
      io, boost::asio::ip::tcp::endpoint(boost::asio::ip::tcp::v6(), 0));
  const auto port = taken->local_endpoint().port();
  HostRig rig({{}, port});
  EXPECT_TRUE(rig.host->listenerState().starts_with("Error")) << rig.host->listenerState();
  rig.advance(seconds(3));
  EXPECT_TRUE(rig.host->listenerState().starts_with("Error"));
  taken.reset();
  rig.advance(seconds(8));
  EXPECT_EQ(rig.host->listenerState(), "Ready on port " + std::to_string(port));
}

TEST(ConnectionLimitsTest, OneSourceHoldsOnlyAFewConnectionsBeforeTheirHello) {
  HostRig rig;
  std::vector<HostRig::Peer> idle;
  for (std::size_t i = 0; i < SessionSupervision::maxUnknownPerSource; ++i) {
    idle.push_back(rig.connect(std::nullopt, KeySource::accessCode, "2001:db8::" + std::to_string(i + 1)));
    ASSERT_TRUE(rig.listed(idle.back()));
  }
  // Another address of the same /64 is refused; another network is not.
  auto refused = rig.connect(std::nullopt, KeySource::accessCode, "2001:db8::ffff");
  EXPECT_FALSE(refused.client);
  EXPECT_TRUE(refused.connection->cancelled());
  EXPECT_TRUE(rig.listed(rig.connect(std::nullopt, KeySource::accessCode, "2001:db8:0:1::1")));
  // Once one of them says hello, the source has room again.
  HostRig::sayHello(idle[0], "Phone");
  rig.settle();
  EXPECT_TRUE(rig.listed(rig.connect(std::nullopt, KeySource::accessCode, "2001:db8::ffff")));
}

TEST(ConnectionLimitsTest, WhenEveryShareIsTakenTheOldestUnknownConnectionGivesWay) {
  HostRig rig;
  auto viewer = rig.join("Viewer");
  std::vector<HostRig::Peer> idle;
  for (std::size_t i = 0; i < SessionSupervision::maxUnknown; ++i) {
    idle.push_back(rig.connect(std::nullopt, KeySource::accessCode,
                               "10.0." + std::to_string(i / 200) + "." + std::to_string(i % 200)));
  }
  auto newcomer = rig.connect(std::nullopt, KeySource::accessCode, "192.168.7.7");
  EXPECT_TRUE(rig.listed(newcomer));
  EXPECT_FALSE(rig.listed(idle.front()));
  EXPECT_TRUE(idle.front().connection->cancelled());
  EXPECT_TRUE(rig.listed(idle[1]));
  EXPECT_TRUE(rig.listed(viewer));  // known clients never give way
}

TEST(ConnectionLimitsTest, WrongCodesLockOutTheWholeNetworkAndAreToldOnce) {
  HostRig rig;
  for (int i = 0; i < 8; ++i) {
    auto p = rig.connect(std::nullopt, KeySource::accessCode, "2001:db8::" + std::to_string(i + 1));
    if (p.connection) p.connection->fail(/*wrongCode=*/true);
    rig.settle();
  }
  EXPECT_TRUE(rig.host->admission().isBlocked("2001:db8::9999"));
  EXPECT_FALSE(rig.host->admission().isBlocked("2001:db8:0:1::1"));
  EXPECT_EQ(std::count(rig.notifier->titles.begin(), rig.notifier->titles.end(),
                       "Blocked repeated wrong codes"),
            1);
}

}  // namespace
}  // namespace ambrel::test
