#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <sstream>

#include <boost/asio/ip/tcp.hpp>

#include "CorvelKit/security/Keychain.h"
#include "tests/support/HostHarness.h"

namespace ambrel {
namespace {

using namespace std::chrono_literals;
using corvel::net::ConnectionState;
using corvel::net::CorvelConnection;
using corvel::test::ConnectionRecorder;

// Sockets listening on a TCP port, from the kernel's tables.
int listenersOnPort(std::uint16_t port) {
  int n = 0;
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      if (local.ends_with(wanted) && state == "0A") ++n;
    }
  }
  return n;
}

class HostControllerListenerTest : public ::testing::Test {
 protected:
  test::HostHarness harness;
  std::shared_ptr<HostController>& host = harness.host;
  std::shared_ptr<corvel::ManualClock>& clock = harness.clock;
  std::shared_ptr<test::RecordingNotifier>& notifier = harness.notifier;
  corvel::security::SecureIdentity& hostIdentity = harness.identity;
  corvel::security::SecureIdentity clientIdentity{"test.client"};

  template <class F>
  auto onMain(F work) {
    return harness.onMain(std::move(work));
  }
  std::size_t clientCount() { return harness.clientCount(); }
  bool waitForClientCount(std::size_t n) {
    return harness.waitFor([&] { return clientCount() == n; });
  }

  std::shared_ptr<CorvelConnection> connect(ConnectionRecorder& events, const std::string& code) {
    auto c = CorvelConnection::client({"127.0.0.1", 5895}, code, events.handlers(),
                                      {.identity = &clientIdentity});
    events.track(c);
    c->start();
    return c;
  }
};

TEST_F(HostControllerListenerTest, StartsWithAStoredCodeAndTokenAndListens) {
  auto code = onMain([&] { return host->accessCode(); });
  auto token = onMain([&] { return host->iCloudAuthToken(); });
  EXPECT_EQ(code.size(), 15u);
  EXPECT_EQ(token.size(), 44u);
  EXPECT_EQ(corvel::security::Keychain::get("host.accessCode", "com.pinebay.corvel"), code);
  EXPECT_EQ(corvel::security::Keychain::get("host.iCloudToken", "com.pinebay.corvel"), token);
  EXPECT_EQ(onMain([&] { return host->listenerState(); }), "Ready on port 5895");
  EXPECT_EQ(listenersOnPort(5895), 1);
}

TEST_F(HostControllerListenerTest, RightCodeIsReadyAndHelloStopsTheWatchdog) {
  ConnectionRecorder events;
  auto client = connect(events, onMain([&] { return host->accessCode(); }));
  ASSERT_TRUE(events.waitForState(ConnectionState::Kind::ready));
  ASSERT_TRUE(waitForClientCount(1));
  EXPECT_EQ(client->peerFingerprint(), hostIdentity.fingerprint());

  corvel::protocol::Hello hello;
  hello.deviceName = "Test Phone";
  hello.protocolVersion = 2;
  client->sendJSON(corvel::protocol::MessageType::hello, hello);
  for (int i = 0; i < 500 && !onMain([&] { return host->clients()[0]->hello().has_value(); }); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  clock->advance(11s);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(clientCount(), 1u);
  client->cancel();
  EXPECT_TRUE(waitForClientCount(0));
}

TEST_F(HostControllerListenerTest, SilentConnectionIsDroppedAfterTenSeconds) {
  ConnectionRecorder events;
  auto client = connect(events, onMain([&] { return host->accessCode(); }));
  ASSERT_TRUE(events.waitForState(ConnectionState::Kind::ready));
  ASSERT_TRUE(waitForClientCount(1));
  clock->advance(9s);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(clientCount(), 1u);
  clock->advance(1s);
  EXPECT_TRUE(waitForClientCount(0));
  EXPECT_TRUE(events.waitFor([&] { return events.ended(); }));
}

TEST_F(HostControllerListenerTest, WrongCodesAreCountedAndBlockedAfterFive) {
  const std::string wrong = "ZZZ-ZZZ-ZZZ-ZZZ";
  for (int attempt = 1; attempt <= 5; ++attempt) {
    ConnectionRecorder events;
    auto client = connect(events, wrong);
    ASSERT_TRUE(events.waitFor([&] { return events.ended(); }));
    EXPECT_TRUE(events.last().tlsFailure) << "attempt " << attempt;
    ASSERT_TRUE(waitForClientCount(0));
  }
  ASSERT_EQ(notifier->count(), 1u);
  EXPECT_EQ(notifier->posted[0].first, "Blocked repeated wrong codes");

  // Now even the right code is turned away before any handshake, leaving no client row.
  ConnectionRecorder blocked;
  auto client = connect(blocked, onMain([&] { return host->accessCode(); }));
  ASSERT_TRUE(blocked.waitFor([&] { return blocked.ended(); }));
  EXPECT_EQ(blocked.count(ConnectionState::Kind::ready), 0);
  EXPECT_EQ(clientCount(), 0u);

  // The block lifts after 15 minutes.
  clock->advance(901s);
  ConnectionRecorder later;
  auto again = connect(later, onMain([&] { return host->accessCode(); }));
  EXPECT_TRUE(later.waitForState(ConnectionState::Kind::ready));
}

TEST_F(HostControllerListenerTest, HangingUpIsNotAWrongCode) {
  for (int i = 0; i < 6; ++i) {
    boost::asio::io_context io;
    boost::asio::ip::tcp::socket s(io);
    s.connect({boost::asio::ip::address_v4::loopback(), 5895});
    ASSERT_TRUE(waitForClientCount(1));
    s.close();
    ASSERT_TRUE(waitForClientCount(0));
  }
  EXPECT_EQ(notifier->count(), 0u);
  ConnectionRecorder events;
  auto client = connect(events, onMain([&] { return host->accessCode(); }));
  EXPECT_TRUE(events.waitForState(ConnectionState::Kind::ready));
}

TEST_F(HostControllerListenerTest, QuickRestartsLeaveOneListener) {
  onMain([&] {
    host->startListener();
    host->startListener();
    return 0;
  });
  EXPECT_EQ(listenersOnPort(5895), 1);
  EXPECT_EQ(onMain([&] { return host->listenerState(); }), "Ready on port 5895");
  ConnectionRecorder events;
  auto client = connect(events, onMain([&] { return host->accessCode(); }));
  EXPECT_TRUE(events.waitForState(ConnectionState::Kind::ready));
}

TEST_F(HostControllerListenerTest, NewCodeEndsClientsAndLocksOutTheOldCode) {
  auto oldCode = onMain([&] { return host->accessCode(); });
  ConnectionRecorder events;
  auto client = connect(events, oldCode);
  ASSERT_TRUE(events.waitForState(ConnectionState::Kind::ready));
  ASSERT_TRUE(waitForClientCount(1));
  onMain([&] {
    host->regenerateAccessCode();
    return 0;
  });
  // Told why, then let go a second later.
  ASSERT_TRUE(events.waitFor([&] { return !events.messages.empty(); }));
  EXPECT_EQ(events.messages[0].first, corvel::protocol::MessageType::bye);
  EXPECT_EQ(corvel::asString(events.messages[0].second), R"({"reason":"The access code was changed."})");
  clock->advance(1s);
  EXPECT_TRUE(events.waitFor([&] { return events.ended(); }));
  EXPECT_TRUE(waitForClientCount(0));
  auto newCode = onMain([&] { return host->accessCode(); });
  EXPECT_NE(newCode, oldCode);

  ConnectionRecorder stale;
  auto again = connect(stale, oldCode);
  ASSERT_TRUE(stale.waitFor([&] { return stale.ended(); }));
  EXPECT_TRUE(stale.last().tlsFailure);
}

// The QUIC listener of hole-punched paths: its connections go through the same admission as TCP
// ones, wrong codes included, and it follows code changes.
TEST_F(HostControllerListenerTest, QuicConnectionsAreAdmittedLikeTcpOnes) {
  const auto quicPort = onMain([&] {
    std::error_code ec;
    return host->startQuicListener(0, ec);
  });
  ASSERT_NE(quicPort, 0);
  auto quicConnect = [&](ConnectionRecorder& events, const std::string& code) {
    auto c = CorvelConnection::client({"127.0.0.1", quicPort}, code, events.handlers(),
                                      {.identity = &clientIdentity, .quic = true});
    events.track(c);
    c->start();
    return c;
  };

  ConnectionRecorder events;
  auto client = quicConnect(events, onMain([&] { return host->accessCode(); }));
  ASSERT_TRUE(events.waitForState(ConnectionState::Kind::ready));
  ASSERT_TRUE(waitForClientCount(1));
  EXPECT_EQ(onMain([&] { return host->clients()[0]->connection()->route(); }),
            corvel::net::ConnectionRoute::natTraversal);
  client->cancel();
  ASSERT_TRUE(waitForClientCount(0));

  // Wrong codes over QUIC count toward the block like those over TCP.
  for (int attempt = 1; attempt <= 5; ++attempt) {
    ConnectionRecorder wrong;
    auto c = quicConnect(wrong, "ZZZ-ZZZ-ZZZ-ZZZ");
    ASSERT_TRUE(wrong.waitFor([&] { return wrong.ended(); }));
    EXPECT_TRUE(wrong.last().tlsFailure) << "attempt " << attempt;
    ASSERT_TRUE(waitForClientCount(0));
  }
  ASSERT_TRUE(harness.waitFor([&] { return notifier->count() == 1; }));
  EXPECT_EQ(notifier->posted[0].first, "Blocked repeated wrong codes");
  clock->advance(901s);

  // A new code: the listener on the same port takes the new one and refuses the old.
  const auto oldCode = onMain([&] { return host->accessCode(); });
  onMain([&] {
    host->regenerateAccessCode();
    return 0;
  });
  EXPECT_EQ(onMain([&] { return host->quicPort(); }), quicPort);
  ConnectionRecorder fresh;
  auto again = quicConnect(fresh, onMain([&] { return host->accessCode(); }));
  EXPECT_TRUE(fresh.waitForState(ConnectionState::Kind::ready));
  ConnectionRecorder stale;
  auto old = quicConnect(stale, oldCode);
  ASSERT_TRUE(stale.waitFor([&] { return stale.ended(); }));
  EXPECT_TRUE(stale.last().tlsFailure);
}

}  // namespace
}  // namespace ambrel
