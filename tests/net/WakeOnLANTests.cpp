#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>

#include "Ambrel_Host/controller/PrimaryMACAddress.h"
#include "CorvelKit/base/UniqueFd.h"
#include "CorvelKit/net/WakeOnLAN.h"
#include "tests/support/FakeNetworkInterfaces.h"

namespace corvel::net {
namespace {

TEST(WakeOnLAN, ParsesEitherSeparatorAndCase) {
  auto colon = WakeOnLAN::parse("aa:bb:cc:dd:ee:ff");
  auto dash = WakeOnLAN::parse("AA-BB-CC-DD-EE-FF");
  ASSERT_TRUE(colon && dash);
  EXPECT_EQ(*colon, *dash);
  EXPECT_EQ(WakeOnLAN::format(*colon), "aa:bb:cc:dd:ee:ff");
  EXPECT_EQ(WakeOnLAN::format(*WakeOnLAN::parse("3c:22:fb:1:2:3")), "3c:22:fb:01:02:03");
  EXPECT_TRUE(WakeOnLAN::parse("::aa:bb:cc:dd:ee:ff::").has_value());  // empty pieces dropped

  for (auto bad : {"aa:bb:cc:dd:ee", "aa:bb:cc:dd:ee:fg", "aa:bb:cc:dd:ee:ff:00",
                   "aa:bb:cc:dd:ee:100", "", "0xaa:bb:cc:dd:ee:ff"}) {
    EXPECT_FALSE(WakeOnLAN::parse(bad).has_value()) << bad;
  }
}

TEST(WakeOnLAN, MagicPacketByteForByte) {
  auto packet = WakeOnLAN::magicPacket({0x3c, 0x22, 0xfb, 0x01, 0x02, 0x03});
  ASSERT_EQ(packet.size(), 102u);
  for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(packet[i], 0xFF);
  for (std::size_t r = 0; r < 16; ++r) {
    const std::uint8_t expected[6] = {0x3c, 0x22, 0xfb, 0x01, 0x02, 0x03};
    EXPECT_EQ(std::memcmp(packet.data() + 6 + 6 * r, expected, 6), 0) << "repeat " << r;
  }
}

UniqueFd boundUdp(std::uint16_t& port) {
  UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

int drain(int fd, std::vector<std::vector<std::uint8_t>>& got) {
  int n = 0;
  pollfd p{fd, POLLIN, 0};
  while (::poll(&p, 1, 200) > 0) {
    std::vector<std::uint8_t> buf(200);
    auto r = ::recv(fd, buf.data(), buf.size(), 0);
    if (r <= 0) break;
    buf.resize(static_cast<std::size_t>(r));
    got.push_back(buf);
    ++n;
  }
  return n;
}

TEST(WakeOnLAN, SendsThreePacketsToEachPortAndNothingForABadAddress) {
  std::uint16_t first = 0, second = 0;
  auto a = boundUdp(first);
  auto b = boundUdp(second);
  WakeOnLAN::wake("AA-BB-CC-DD-EE-FF", "127.0.0.1", {first, second});
  std::vector<std::vector<std::uint8_t>> got;
  EXPECT_EQ(drain(a.get(), got), 3);
  EXPECT_EQ(drain(b.get(), got), 3);
  auto expected = WakeOnLAN::magicPacket(*WakeOnLAN::parse("aa:bb:cc:dd:ee:ff"));
  for (auto& g : got) EXPECT_TRUE(std::equal(g.begin(), g.end(), expected.begin(), expected.end()));

  WakeOnLAN::wake("aa:bb:cc:dd:ee", "127.0.0.1", {first});
  got.clear();
  EXPECT_EQ(drain(a.get(), got), 0);
}

TEST(PrimaryMACAddress, PrefersWiredThenNameOrderAndNeverZero) {
  using ambrel::choosePrimaryMACAddress;
  using ambrel::InterfaceAddress;
  WakeOnLAN::MACAddress zero{}, one{1, 2, 3, 4, 5, 6}, two{0xa, 0xb, 0xc, 0xd, 0xe, 0xf},
      three{9, 9, 9, 9, 9, 9};
  EXPECT_EQ(choosePrimaryMACAddress({{"wlan0", one}, {"enp3s0", two}}), "0a:0b:0c:0d:0e:0f");
  EXPECT_EQ(choosePrimaryMACAddress({{"eth1", one}, {"eth0", zero}, {"wlan0", three}}),
            "01:02:03:04:05:06");
  EXPECT_EQ(choosePrimaryMACAddress({{"wlp2s0", three}, {"docker0", one}}), "01:02:03:04:05:06");
  EXPECT_EQ(choosePrimaryMACAddress({{"eth0", zero}}), std::nullopt);
  EXPECT_EQ(choosePrimaryMACAddress({}), std::nullopt);
  auto mine = ambrel::primaryMACAddress();
  if (mine) EXPECT_NE(*mine, "00:00:00:00:00:00");
}

TEST(PrimaryMACAddress, ComesFromTheInterfaceListLeavingOutLoopback) {
  test::ScopedFakeNetworkInterfaces interfaces({
      {.name = "enlo", .up = true, .loopback = true, .hardwareAddress = WakeOnLAN::MACAddress{1, 1, 1, 1, 1, 1}},
      {.name = "tun0", .up = true},
      {.name = "wlan0", .up = true, .hardwareAddress = WakeOnLAN::MACAddress{2, 2, 2, 2, 2, 2}},
      {.name = "eth1", .up = false, .hardwareAddress = WakeOnLAN::MACAddress{3, 3, 3, 3, 3, 3}},
  });
  // A wired card that is down (unplugged, or the machine asleep) still names the machine.
  EXPECT_EQ(ambrel::primaryMACAddress(), "03:03:03:03:03:03");
  interfaces->set({{.name = "tun0", .up = true}});
  EXPECT_EQ(ambrel::primaryMACAddress(), std::nullopt);
}

}  // namespace
}  // namespace corvel::net
