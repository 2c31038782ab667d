#include <gtest/gtest.h>

#include <algorithm>

#include "CorvelKit/net/NetworkInterfaces.h"
#include "CorvelKit/net/UnmappedAddress.h"
#include "tests/support/FakeNetworkInterfaces.h"

namespace corvel::net {
namespace {

boost::asio::ip::address addr(const char* text) { return boost::asio::ip::make_address(text); }

TEST(UnmappedAddress, MappedAddressesBecomeIPv4AndOthersStay) {
  EXPECT_EQ(unmapped(addr("::ffff:192.168.1.5")), addr("192.168.1.5"));
  EXPECT_TRUE(unmapped(addr("::ffff:10.0.0.1")).is_v4());
  for (auto same : {"192.168.1.5", "::1", "fe80::1", "2001:db8::ffff:1", "::"}) {
    EXPECT_EQ(unmapped(addr(same)), addr(same)) << same;
  }
}

TEST(NetworkInterfaces, HoldingAndIsUpReadTheList) {
  const test::FakeNetworkInterfaces fake({
      {.name = "lo", .up = true, .loopback = true, .addresses = {addr("127.0.0.1"), addr("::1")}},
      {.name = "eth0", .up = true, .addresses = {addr("192.168.1.5"), addr("fe80::1%2")}},
      {.name = "docker0", .up = false, .addresses = {addr("172.17.0.1")}},
  });
  struct Case {
    const char* address;
    std::optional<std::string> holder;
  };
  const Case cases[] = {
      {"192.168.1.5", "eth0"},
      {"::ffff:192.168.1.5", "eth0"},  // a dual-stack socket's view of an IPv4 address
      {"fe80::1", "eth0"},             // scopes are not compared
      {"fe80::1%7", "eth0"},
      {"::1", "lo"},
      {"172.17.0.1", "docker0"},  // down interfaces still hold their addresses
      {"10.9.9.9", std::nullopt},
      {"::ffff:10.9.9.9", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(fake.holding(addr(c.address)), c.holder) << c.address;

  EXPECT_TRUE(fake.isUp("eth0"));
  EXPECT_FALSE(fake.isUp("docker0"));
  EXPECT_FALSE(fake.isUp("eth"));
  EXPECT_FALSE(fake.isUp("nosuch0"));
}

TEST(NetworkInterfaces, AnInstalledOneReplacesThePlatformsUntilRemoved) {
  const auto platform = NetworkInterfaces::platform();
  EXPECT_EQ(NetworkInterfaces::current(), platform);
  {
    test::ScopedFakeNetworkInterfaces fake({{.name = "eth9", .up = true}});
    EXPECT_NE(NetworkInterfaces::current(), platform);
    EXPECT_TRUE(NetworkInterfaces::current()->isUp("eth9"));
  }
  EXPECT_EQ(NetworkInterfaces::current(), platform);
}

TEST(LinuxNetworkInterfaces, ListLoopbackOnceWithItsAddress) {
  const auto platform = NetworkInterfaces::platform();
  const auto all = platform->list();
  auto lo = std::find_if(all.begin(), all.end(), [](const auto& i) { return i.name == "lo"; });
  ASSERT_NE(lo, all.end());
  EXPECT_TRUE(lo->up);
  EXPECT_TRUE(lo->loopback);
  EXPECT_EQ(platform->holding(addr("127.0.0.1")), "lo");
  EXPECT_EQ(platform->holding(addr("::ffff:127.0.0.1")), "lo");
  // One entry per interface, however many addresses it has.
  for (const auto& i : all) {
    EXPECT_EQ(std::count_if(all.begin(), all.end(), [&](const auto& j) { return j.name == i.name; }), 1)
        << i.name;
  }
}

}  // namespace
}  // namespace corvel::net
