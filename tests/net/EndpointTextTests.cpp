#include <gtest/gtest.h>

#include "CorvelKit/net/EndpointText.h"

namespace corvel::net {
namespace {

TEST(EndpointText, TakesTheDefaultPortAndRefusesBadOnes) {
  EXPECT_EQ(parseEndpoint("example", 5895)->port, 5895);
  EXPECT_EQ(parseEndpoint("10.0.0.1:7000", 5895)->port, 7000);
  EXPECT_EQ(parseEndpoint("[fe80::1]:7000", 5895)->host, "fe80::1");
  EXPECT_EQ(parseEndpoint("fe80::1", 5895)->host, "fe80::1");
  EXPECT_EQ(parseEndpoint("stun.example.net", 3478)->port, 3478);
  for (auto text : {"", ":80", "host:0", "host:70000", "host:8x", "[::1", "[::1]x"}) {
    EXPECT_FALSE(parseEndpoint(text, 5895)) << text;
  }
}

}  // namespace
}  // namespace corvel::net
