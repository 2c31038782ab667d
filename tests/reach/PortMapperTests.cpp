#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "Ambrel_Host/reach/DefaultGateway.h"
#include "Ambrel_Host/reach/PortMapper.h"
#include "CorvelKit/base/BigEndian.h"
#include "CorvelKit/net/NatPmp.h"
#include "tests/support/NetworkNamespace.h"
#include "tests/support/ScriptedGateway.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;
using corvel::net::NatPmp;
using Clock = std::chrono::steady_clock;
using corvel::test::ScriptedGateway;

TEST(DefaultGateway, ReadsTheDefaultRouteWithTheLowestMetric) {
  const std::string header =
      "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
  struct Case {
    const char* name;
    std::string routes;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"one default route", "eth0\t00000000\t0100A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n",
       "192.168.0.1"},
      {"lowest metric wins",
       "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
       "eth0\t00000000\t0100000A\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
       "eth0\t0000000A\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n",
       "10.0.0.1"},
      {"a route that is down", "eth0\t00000000\t0100A8C0\t0002\t0\t0\t100\t00000000\t0\t0\t0\n",
       std::nullopt},
      {"only local routes", "eth0\t0000A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n",
       std::nullopt},
      {"malformed lines skipped",
       "eth0\tzz\t0100A8C0\t0003\t0\t0\t100\t00000000\n short\n"
       "eth1\t00000000\t0200A8C0\t0003\t0\t0\t5\t00000000\t0\t0\t0\n",
       "192.168.0.2"},
      {"empty table", "", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DefaultGateway::fromRouteTable(header + c.routes), c.expected) << c.name;
  }
}

TEST(NatPmp, RequestsAndAnswersByteForByte) {
  EXPECT_EQ(corvel::hexString(NatPmp::externalAddressRequest()), "0000");
  EXPECT_EQ(corvel::hexString(NatPmp::mapRequest(NatPmp::mapTCPOpcode, 5895, 5895, 7200)),
            "000200001707170700001c20");

  corvel::Bytes address;
  ASSERT_TRUE(corvel::parseHex("008000000000010acb007107", address));
  auto external = NatPmp::parse(address);
  ASSERT_TRUE(external);
  EXPECT_EQ(external->opcode, NatPmp::externalAddressOpcode);
  EXPECT_EQ(external->epoch, 266u);
  EXPECT_EQ(external->address, "203.0.113.7");

  corvel::Bytes mapping;
  ASSERT_TRUE(corvel::parseHex("008200000000000517079c4000000e10", mapping));
  auto mapped = NatPmp::parse(mapping);
  ASSERT_TRUE(mapped);
  EXPECT_EQ(mapped->opcode, NatPmp::mapTCPOpcode);
  EXPECT_EQ(mapped->internalPort, 5895);
  EXPECT_EQ(mapped->externalPort, 40000);
  EXPECT_EQ(mapped->lifetime, 3600u);

  corvel::Bytes refused;
  ASSERT_TRUE(corvel::parseHex("0082000200000005", refused));
  ASSERT_TRUE(NatPmp::parse(refused));
  EXPECT_EQ(NatPmp::parse(refused)->result, 2);

  for (const char* bad : {"", "0080", "0000000000000000",  // a request, not an answer
                          "0180000000000000cb007107",        // another version
                          "008300000000000a",                // an unknown opcode
                          "0080000000000000cb00",            // a success cut short
                          "00820000000000051707"}) {
    corvel::Bytes bytes;
    ASSERT_TRUE(corvel::parseHex(bad, bytes));
    EXPECT_FALSE(NatPmp::parse(bytes)) << bad;
  }
}

// A port mapper living in a namespace behind a scripted router at 10.<n>.0.1.
struct MappedHome {
  explicit MappedHome(ScriptedGateway::Script script, PortMapper::Options options = {})
      : subnet("10." + std::to_string(100 + ::getpid() % 100) + ".0."),
        home(subnet + "1", subnet + "2"),
        gateway(subnet + "1", NatPmp::gatewayPort, std::move(script)) {
    if (!home.isReady()) return;
    home.run([&] {
      mapper = std::make_unique<PortMapper>(home.executor(), corvel::Clock::system(), options);
      mapper->setChangeHandler([this](const std::optional<PortMapper::External>& external) {
        std::lock_guard lock(mutex);
        changes.push_back(external);
        changed.notify_all();
      });
    });
  }
  ~MappedHome() {
    if (mapper) home.run([&] { mapper.reset(); });
  }
  bool waitForChanges(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return changes.size() >= count; });
  }

  std::string subnet;
  corvel::test::NetworkNamespace home;
  ScriptedGateway gateway;
  std::unique_ptr<PortMapper> mapper;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::optional<PortMapper::External>> changes;
};

TEST(PortMapper, MapsRenewsAndRemovesThroughTheDefaultRouter) {
  MappedHome net(ScriptedGateway::granting("203.0.113.7", 40000, 2));
  ASSERT_TRUE(net.home.isReady()) << net.home.errors();
  ASSERT_TRUE(net.gateway.isBound());
  // The namespace's own routing table names the router.
  std::optional<std::string> seen;
  net.home.run([&] { seen = DefaultGateway::current(); });
  EXPECT_EQ(seen, net.subnet + "1");

  net.home.run([&] { net.mapper->start(5895); });
  ASSERT_TRUE(net.waitForChanges(1, 5s));
  {
    std::lock_guard lock(net.mutex);
    // The router chose another external port than the one asked for: that is the one published.
    EXPECT_EQ(net.changes.front(), (PortMapper::External{"203.0.113.7", 40000}));
  }
  // Address, mapping; then halfway through the two-second lease both again, asking for the
  // granted port this time. A request the gateway was slow to answer is sent again: repeats
  // count once.
  std::vector<ScriptedGateway::Request> requests;
  for (std::size_t wanted = 4; wanted <= 8 && requests.size() < 4; ++wanted) {
    requests.clear();
    for (auto& request : net.gateway.waitFor(wanted, 5s)) {
      if (requests.empty() || requests.back().bytes != request.bytes) requests.push_back(request);
    }
  }
  ASSERT_GE(requests.size(), 4u);
  EXPECT_EQ(corvel::hexString(requests[0].bytes), "0000");
  EXPECT_EQ(corvel::hexString(requests[1].bytes), "000200001707170700001c20");
  EXPECT_EQ(corvel::hexString(requests[2].bytes), "0000");
  EXPECT_EQ(corvel::hexString(requests[3].bytes), "0002000017079c4000001c20");
  const auto renewedAfter = requests[2].at - requests[1].at;
  EXPECT_GE(renewedAfter, 900ms);
  EXPECT_LE(renewedAfter, 1900ms);
  {
    std::lock_guard lock(net.mutex);
    EXPECT_EQ(net.changes.size(), 1u) << "a renewal with the same result is no change";
  }

  // Stopping removes the mapping: lifetime 0, external port 0.
  const auto before = net.gateway.waitFor(0, 0ms).size();
  net.home.run([&] { net.mapper->stop(); });
  requests = net.gateway.waitFor(before + 1, 2s);
  ASSERT_GT(requests.size(), before);
  EXPECT_EQ(corvel::hexString(requests[before].bytes), "000200001707000000000000");
  net.home.run([&] { EXPECT_FALSE(net.mapper->external()); });
}

TEST(PortMapper, LosingTheMappingIsReportedAndRetried) {
  PortMapper::Options options;
  options.retryAfterFailure = std::chrono::seconds(1);
  MappedHome net(ScriptedGateway::granting("203.0.113.7", 5895, 2), options);
  ASSERT_TRUE(net.home.isReady()) << net.home.errors();
  net.home.run([&] { net.mapper->start(5895); });
  ASSERT_TRUE(net.waitForChanges(1, 5s));

  // At the renewal the router has lost its external address: the endpoint goes, and is told.
  net.gateway.setScript(ScriptedGateway::granting("0.0.0.0", 5895, 2));
  ASSERT_TRUE(net.waitForChanges(2, 5s));
  // Once the router has an address again, the retry maps again.
  net.gateway.setScript(ScriptedGateway::granting("198.51.100.4", 5895, 2));
  ASSERT_TRUE(net.waitForChanges(3, 5s));
  std::lock_guard lock(net.mutex);
  EXPECT_EQ(net.changes[1], std::nullopt);
  EXPECT_EQ(net.changes[2], (PortMapper::External{"198.51.100.4", 5895}));
}

TEST(PortMapper, ARouterThatNeverAnswersIsAskedWithBackOffThenAgainLater) {
  PortMapper::Options options;
  options.firstRetry = 50ms;
  options.attempts = 4;
  options.retryAfterFailure = std::chrono::seconds(1);
  MappedHome net([](const corvel::Bytes&) { return std::nullopt; }, options);
  ASSERT_TRUE(net.home.isReady()) << net.home.errors();
  net.home.run([&] { net.mapper->start(5895); });

  // Four tries 50, 100 and 200 ms apart; a second round a second after the last one gave up.
  auto requests = net.gateway.waitFor(5, 5s);
  ASSERT_GE(requests.size(), 5u);
  const std::chrono::milliseconds gaps[] = {50ms, 100ms, 200ms};
  for (std::size_t i = 0; i < 3; ++i) {
    const auto gap = requests[i + 1].at - requests[i].at;
    EXPECT_GE(gap, gaps[i] - 5ms) << i;
    EXPECT_LE(gap, gaps[i] * 3) << i;
  }
  EXPECT_GE(requests[4].at - requests[3].at, 1s);
  for (const auto& request : requests) EXPECT_EQ(corvel::hexString(request.bytes), "0000");
  std::lock_guard lock(net.mutex);
  EXPECT_TRUE(net.changes.empty()) << "nothing was ever mapped, so nothing changed";
}

}  // namespace
}  // namespace ambrel
