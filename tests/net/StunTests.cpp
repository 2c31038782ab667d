#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <future>
#include <thread>

#include "CorvelKit/base/BigEndian.h"
#include "CorvelKit/base/UniqueFd.h"
#include "CorvelKit/net/Stun.h"
#include "CorvelKit/net/StunClient.h"
#include "tests/support/StunServer.h"

namespace corvel::net {
namespace {

const Bytes transactionID = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

// A response header (any type) followed by `attributes`; `declared` overrides the length field.
Bytes response(const Bytes& attributes, std::optional<std::uint16_t> declared = std::nullopt,
               std::uint32_t cookie = Stun::magicCookie) {
  Bytes out(20, 0);
  storeU16BE(out.data(), 0x0101);
  storeU16BE(out.data() + 2, declared.value_or(static_cast<std::uint16_t>(attributes.size())));
  storeU32BE(out.data() + 4, cookie);
  std::copy(transactionID.begin(), transactionID.end(), out.begin() + 8);
  append(out, attributes);
  return out;
}

Bytes attribute(std::uint16_t type, const Bytes& value) {
  Bytes out(4, 0);
  storeU16BE(out.data(), type);
  storeU16BE(out.data() + 2, static_cast<std::uint16_t>(value.size()));
  append(out, value);
  while (out.size() % 4) out.push_back(0);
  return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
  append(a, b);
  return a;
}

// XOR-MAPPED-ADDRESS 192.168.0.1:0x1234, MAPPED-ADDRESS 10.0.0.7:5000.
const Bytes xorIPv4 = attribute(0x0020, {0x00, 0x01, 0x33, 0x26, 0xE1, 0xBA, 0xA4, 0x43});
const Bytes plainIPv4 = attribute(0x0001, {0x00, 0x01, 0x13, 0x88, 10, 0, 0, 7});

// 2001:db8::1 port 0x1234 XOR-coded with the cookie and `transactionID`.
Bytes xorIPv6() {
  std::uint8_t address[16];
  ::inet_pton(AF_INET6, "2001:db8::1", address);
  Bytes value = {0x00, 0x02, 0x33, 0x26};
  std::uint8_t mask[16] = {0x21, 0x12, 0xA4, 0x42};
  std::copy(transactionID.begin(), transactionID.end(), mask + 4);
  for (int i = 0; i < 16; ++i) value.push_back(address[i] ^ mask[i]);
  return attribute(0x0020, value);
}

TEST(Stun, RequestIsABindingWithTheCookieAndID) {
  const auto request = Stun::request(transactionID);
  ASSERT_EQ(request.size(), 20u);
  EXPECT_EQ(hexString(ByteView(request).first(8)), "000100002112a442");
  EXPECT_TRUE(std::equal(transactionID.begin(), transactionID.end(), request.begin() + 8));
  // An ID of another length is brought to twelve bytes.
  EXPECT_EQ(hexString(ByteView(Stun::request(Bytes{7, 7})).subspan(8)), "070700000000000000000000");
  EXPECT_EQ(Stun::request(Bytes(20, 9)).size(), 20u);
  EXPECT_EQ(Stun::newTransactionID().size(), 12u);
  EXPECT_NE(Stun::newTransactionID(), Stun::newTransactionID());
}

TEST(Stun, ReflexiveAddressCases) {
  struct Case {
    const char* name;
    Bytes datagram;
    std::optional<StunReflexive> expected;
  };
  const StunReflexive xorResult{"192.168.0.1", 0x1234};
  const StunReflexive plainResult{"10.0.0.7", 5000};
  const Bytes full = response(xorIPv4);
  Bytes wrongFamily = attribute(0x0020, {0x00, 0x03, 0x33, 0x26, 1, 2, 3, 4});
  Bytes shortIPv4 = attribute(0x0020, {0x00, 0x01, 0x33, 0x26, 1, 2, 3});
  Bytes shortIPv6 = attribute(0x0020, Bytes{0x00, 0x02, 0x33, 0x26} + Bytes(12, 0));
  // A MAPPED-ADDRESS whose length runs past the message and the datagram.
  Bytes oversized = attribute(0x0001, {0x00, 0x01, 0x13, 0x88, 10, 0, 0, 7});
  storeU16BE(oversized.data() + 2, 400);
  const Case cases[] = {
      {"XOR-coded IPv4", response(xorIPv4), xorResult},
      {"XOR-coded IPv6", response(xorIPv6()), StunReflexive{"2001:db8::1", 0x1234}},
      {"XOR wins after a plain one", response(plainIPv4 + xorIPv4), xorResult},
      {"XOR wins before a plain one", response(xorIPv4 + plainIPv4), xorResult},
      {"plain alone", response(plainIPv4), plainResult},
      {"first plain one kept", response(plainIPv4 + attribute(0x0001, {0, 1, 0, 1, 1, 1, 1, 1})),
       plainResult},
      {"unknown attributes skipped", response(attribute(0x8022, toBytes("server")) + xorIPv4),
       xorResult},
      {"unknown family", response(wrongFamily), std::nullopt},
      {"IPv4 value too short", response(shortIPv4 + plainIPv4), plainResult},
      {"IPv6 value too short", response(shortIPv6), std::nullopt},
      {"oversized attribute stops the reading", response(oversized + xorIPv4), std::nullopt},
      {"oversized after a plain one keeps it", response(plainIPv4 + oversized), plainResult},
      // The XOR attribute lies past the declared length: not part of the message.
      {"attribute past the declared length", response(plainIPv4 + xorIPv4, 12), plainResult},
      {"declared length past the datagram", response(xorIPv4, 600), xorResult},
      {"header truncated", Bytes(full.begin(), full.begin() + 19), std::nullopt},
      {"value truncated", Bytes(full.begin(), full.end() - 1), std::nullopt},
      {"wrong cookie", response(xorIPv4, std::nullopt, 0x2112A443), std::nullopt},
      {"no attributes", response({}), std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Stun::reflexiveAddress(c.datagram, transactionID), c.expected) << c.name;
  }
  // IPv6 XOR decoding needs the request's twelve-byte ID; IPv4 does not.
  EXPECT_EQ(Stun::reflexiveAddress(response(xorIPv6() + plainIPv4), Bytes{1, 2}), plainResult);
  EXPECT_EQ(Stun::reflexiveAddress(response(xorIPv4), Bytes{}), xorResult);
}

// Runs discovery on a private executor and waits for its one result.
struct Discovery {
  std::optional<StunClient::Discovery> result;
  std::chrono::milliseconds took{};
  int calls = 0;
};

Discovery discover(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout,
                   std::uint16_t localPort = 0) {
  boost::asio::io_context io;
  Discovery out;
  const auto start = std::chrono::steady_clock::now();
  StunClient::discover(
      io.get_executor(), host, port, timeout,
      [&](std::optional<StunClient::Discovery> result) {
        ++out.calls;
        out.result = std::move(result);
        out.took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
      },
      localPort);
  io.run();  // returns once nothing is pending: every late event was dropped
  return out;
}

TEST(StunClient, LearnsTheAddressFromARealServer) {
  test::StunServer server;
  ASSERT_TRUE(server.isRunning()) << server.errors();

  auto found = discover(server.address(), server.port(), std::chrono::seconds(4));
  ASSERT_TRUE(found.result);
  EXPECT_EQ(found.calls, 1);
  EXPECT_EQ(found.result->reflexive.host, "127.0.0.1");
  // On loopback the server sees the very port the request left from.
  EXPECT_NE(found.result->localPort, 0);
  EXPECT_EQ(found.result->reflexive.port, found.result->localPort);

  // A chosen local port is the one used (the hole-punching listener binds it next).
  UniqueFd probe(::socket(AF_INET, SOCK_DGRAM, 0));
  sockaddr_in any{};
  any.sin_family = AF_INET;
  socklen_t size = sizeof any;
  ASSERT_EQ(::bind(probe.get(), reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
  ::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&any), &size);
  const auto chosen = ntohs(any.sin_port);
  probe = UniqueFd();
  auto fromChosen = discover(server.address(), server.port(), std::chrono::seconds(4), chosen);
  ASSERT_TRUE(fromChosen.result);
  EXPECT_EQ(fromChosen.result->localPort, chosen);
  EXPECT_EQ(fromChosen.result->reflexive.port, chosen);
}

TEST(StunClient, FailuresGiveNothingOnce) {
  // A server that reads and never answers: nothing, once, and not before the time-out.
  UniqueFd silent(::socket(AF_INET, SOCK_DGRAM, 0));
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof at;
  ASSERT_EQ(::bind(silent.get(), reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ::getsockname(silent.get(), reinterpret_cast<sockaddr*>(&at), &size);
  auto quiet = discover("127.0.0.1", ntohs(at.sin_port), std::chrono::milliseconds(300));
  EXPECT_FALSE(quiet.result);
  EXPECT_EQ(quiet.calls, 1);
  EXPECT_GE(quiet.took.count(), 300);

  // An answer that isn't STUN: nothing at once.
  silent = UniqueFd(::socket(AF_INET, SOCK_DGRAM, 0));
  at.sin_port = 0;
  ASSERT_EQ(::bind(silent.get(), reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ::getsockname(silent.get(), reinterpret_cast<sockaddr*>(&at), &size);
  std::thread answer([&] {
    std::uint8_t buffer[64];
    sockaddr_in from{};
    socklen_t fromSize = sizeof from;
    if (::recvfrom(silent.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                   &fromSize) > 0) {
      ::sendto(silent.get(), "no", 2, 0, reinterpret_cast<sockaddr*>(&from), fromSize);
    }
  });
  auto garbage = discover("127.0.0.1", ntohs(at.sin_port), std::chrono::seconds(10));
  answer.join();
  EXPECT_FALSE(garbage.result);
  EXPECT_EQ(garbage.calls, 1);
  EXPECT_LT(garbage.took.count(), 5000);

  // A name that doesn't resolve.
  auto unknown = discover("no-such-host.invalid", 3478, std::chrono::seconds(10));
  EXPECT_FALSE(unknown.result);
  EXPECT_EQ(unknown.calls, 1);
}

}  // namespace
}  // namespace corvel::net
