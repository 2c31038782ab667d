#include <gtest/gtest.h>

#include "CorvelKit/net/ConnectionRoute.h"
#include "CorvelKit/net/LinkKind.h"
#include "CorvelKit/net/OnceFlag.h"

namespace corvel::net {
namespace {

TEST(ConnectionRoute, ClassifiesAddressesAndNames) {
  struct Case {
    std::optional<std::string_view> host;
    ConnectionRoute expected;
  };
  const Case cases[] = {
      {"192.168.1.20", ConnectionRoute::localNetwork},
      {"10.0.0.1", ConnectionRoute::localNetwork},
      {"172.16.0.1", ConnectionRoute::localNetwork},
      {"172.31.255.255", ConnectionRoute::localNetwork},
      {"172.32.0.1", ConnectionRoute::internet},
      {"169.254.3.3", ConnectionRoute::localNetwork},
      {"127.0.0.1", ConnectionRoute::localNetwork},
      {"100.100.1.1", ConnectionRoute::privateNetwork},
      {"100.64.0.0", ConnectionRoute::privateNetwork},
      {"100.128.0.1", ConnectionRoute::internet},
      {"100.1.1.1", ConnectionRoute::internet},
      {"8.8.8.8", ConnectionRoute::internet},
      {"::ffff:192.168.1.5", ConnectionRoute::localNetwork},
      {"::ffff:8.8.8.8", ConnectionRoute::internet},
      {"fd7a:115c::5", ConnectionRoute::privateNetwork},
      {"fd00::1", ConnectionRoute::localNetwork},
      {"fe80::1%en0", ConnectionRoute::localNetwork},
      {"2001:db8::1", ConnectionRoute::internet},
      {"::1", ConnectionRoute::internet},
      {"studio.local", ConnectionRoute::localNetwork},
      {"studio.local.", ConnectionRoute::localNetwork},
      {"example.com", ConnectionRoute::unknown},
      {"", ConnectionRoute::unknown},
      {std::nullopt, ConnectionRoute::unknown},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(classifyRoute(c.host, false), c.expected) << c.host.value_or("<none>");
    EXPECT_EQ(classifyRoute(c.host, true), ConnectionRoute::natTraversal);
  }
  EXPECT_EQ(name(ConnectionRoute::privateNetwork), "privateNetwork");
}

TEST(LinkKind, FromInterfaceNames) {
  EXPECT_EQ(linkKindForInterface(std::nullopt), LinkKind::other);
  EXPECT_EQ(linkKindForInterface("wlp2s0"), LinkKind::wifi);
  EXPECT_EQ(linkKindForInterface("enp3s0"), LinkKind::wired);
  EXPECT_EQ(linkKindForInterface("eth0"), LinkKind::wired);
  EXPECT_EQ(linkKindForInterface("wwan0"), LinkKind::cellular);
  EXPECT_EQ(linkKindForInterface("lo"), LinkKind::other);
  EXPECT_TRUE(isMobileInterface("wwan1"));
  EXPECT_FALSE(isMobileInterface("wlan0"));
}

TEST(OnceFlag, OnlyTheFirstClaimWins) {
  OnceFlag flag;
  EXPECT_TRUE(flag.claim());
  EXPECT_FALSE(flag.claim());
  EXPECT_FALSE(flag.claim());
}

}  // namespace
}  // namespace corvel::net
