#include <gtest/gtest.h>

#include "Ambrel_Host/browser/LocalAddresses.h"
#include "tests/support/FakeNetworkInterfaces.h"

namespace ambrel {
namespace {

boost::asio::ip::address addr(const char* text) { return boost::asio::ip::make_address(text); }

TEST(LocalAddresses, UpNonLoopbackIPv4OnlySortedOnceEach) {
  corvel::test::ScopedFakeNetworkInterfaces interfaces({
      {.name = "lo", .up = true, .loopback = true, .addresses = {addr("127.0.0.1")}},
      {.name = "eth0", .up = true, .addresses = {addr("192.168.1.20"), addr("fe80::1"), addr("10.0.0.2")}},
      {.name = "wlan0", .up = false, .addresses = {addr("192.168.1.30")}},
      {.name = "utun3", .up = true, .addresses = {addr("100.64.0.1")}},
      {.name = "eth1", .up = true, .addresses = {addr("10.0.0.2"), addr("9.9.9.9")}},
  });
  // Sorted as text, as the browser address is the first of them.
  EXPECT_EQ(localIPv4Addresses(), (std::vector<std::string>{"10.0.0.2", "192.168.1.20", "9.9.9.9"}));
  interfaces->set({{.name = "lo", .up = true, .loopback = true, .addresses = {addr("127.0.0.1")}}});
  EXPECT_TRUE(localIPv4Addresses().empty());
}

}  // namespace
}  // namespace ambrel
