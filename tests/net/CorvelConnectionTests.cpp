#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

#include "CorvelKit/SecureChannel/SecureHandshake.h"
#include "CorvelKit/SecureChannel/SecureMessageChannel.h"
#include "CorvelKit/net/CorvelConnection.h"
#include "CorvelKit/net/LinkKind.h"
#include "CorvelKit/protocol/Clipboard.h"
#include "CorvelKit/security/AccessCode.h"
#include "CorvelKit/security/SecureIdentity.h"
#include "tests/support/ConnectionRecorder.h"
#include "tests/support/FakeNetworkInterfaces.h"
#include "tests/support/RawPeer.h"
#include "tests/support/TemporaryFolder.h"

namespace corvel::net {
namespace {

using namespace std::chrono_literals;
using protocol::MessageType;
using tcp = boost::asio::ip::tcp;

constexpr const char* kCode = "ABC-DEF-GHJ-KLM";
constexpr const char* kOtherCode = "ZZZ-ZZZ-ZZZ-ZZZ";

using test::ConnectionRecorder;
using Recorder = ConnectionRecorder;

boost::asio::ip::address addr(const char* text) { return boost::asio::ip::make_address(text); }

class CorvelConnectionTest : public ::testing::Test {
 protected:
  test::TemporaryHome home;
  security::SecureIdentity hostIdentity{"test.host"};
  security::SecureIdentity clientIdentity{"test.client"};
  boost::asio::io_context io;
  tcp::acceptor acceptor{io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0)};
  std::uint16_t port = acceptor.local_endpoint().port();
  std::shared_ptr<CorvelConnection> server;
  Recorder serverEvents;

  // Accepts one connection in the background and wraps it as the host would.
  std::thread acceptOne(std::string code = kCode) {
    return std::thread([this, code] {
      tcp::socket socket(io);
      acceptor.accept(socket);
      server = CorvelConnection::server(std::move(socket), code, serverEvents.handlers(),
                                        &hostIdentity);
      serverEvents.track(server);
      server->start();
    });
  }

  std::shared_ptr<CorvelConnection> makeClient(Recorder& events, std::string code = kCode,
                                               std::optional<std::string> pin = {}) {
    auto c = CorvelConnection::client({"127.0.0.1", port}, code, events.handlers(),
                                      {.pinnedFingerprint = std::move(pin), .identity = &clientIdentity});
    events.track(c);
    return c;
  }

  void TearDown() override {
    if (server) server->cancel();
  }
};

TEST_F(CorvelConnectionTest, RightCodeBecomesReadyOnceOnBothSidesAndCarriesMessages) {
  auto accepting = acceptOne();
  Recorder clientEvents;
  auto client = makeClient(clientEvents);

  std::promise<std::error_code> early;
  client->send(MessageType::clipboard, asBytes("x"), [&](std::error_code ec) { early.set_value(ec); });
  EXPECT_EQ(early.get_future().get(), ConnectionErrc::notConnected);

  client->start();
  accepting.join();
  ASSERT_TRUE(clientEvents.waitForState(ConnectionState::Kind::ready));
  ASSERT_TRUE(serverEvents.waitForState(ConnectionState::Kind::ready));
  EXPECT_EQ(client->peerFingerprint(), hostIdentity.fingerprint());
  EXPECT_EQ(server->peerFingerprint(), clientIdentity.fingerprint());
  EXPECT_EQ(server->remoteHost(), "127.0.0.1");
  EXPECT_EQ(server->route(), ConnectionRoute::localNetwork);

  // Many messages from two threads arrive whole and open in order per sender.
  auto sendMany = [&](const std::shared_ptr<CorvelConnection>& c, char tag) {
    for (int i = 0; i < 100; ++i) c->send(MessageType::ping, toBytes(std::string(1, tag) + std::to_string(i)));
  };
  std::thread a([&] { sendMany(client, 'a'); });
  std::thread b([&] { sendMany(client, 'b'); });
  a.join();
  b.join();
  Bytes big(1 << 20);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
  client->send(MessageType::video, big);
  ASSERT_TRUE(serverEvents.waitFor([&] { return serverEvents.messages.size() == 201; }));
  int lastA = -1, lastB = -1;
  for (auto& [type, payload] : serverEvents.messages) {
    if (type == MessageType::video) {
      EXPECT_EQ(payload, big);
      continue;
    }
    std::string text(asString(payload));
    int n = std::stoi(text.substr(1));
    int& last = text[0] == 'a' ? lastA : lastB;
    EXPECT_EQ(n, last + 1);
    last = n;
  }

  server->sendJSON(MessageType::clipboard, protocol::Clipboard{"from host"});
  ASSERT_TRUE(clientEvents.waitFor([&] { return !clientEvents.messages.empty(); }));
  auto decoded = CorvelConnection::decode<protocol::Clipboard>(clientEvents.messages[0].second);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->text, "from host");

  client->cancel();
  ASSERT_TRUE(serverEvents.waitForState(ConnectionState::Kind::cancelled));
  EXPECT_EQ(clientEvents.count(ConnectionState::Kind::ready), 1);
  EXPECT_EQ(serverEvents.count(ConnectionState::Kind::ready), 1);
}

TEST_F(CorvelConnectionTest, WrongCodeFailsInTlsOnBothSides) {
  auto accepting = acceptOne();
  Recorder clientEvents;
  auto client = makeClient(clientEvents, kOtherCode);
  client->start();
  accepting.join();
  ASSERT_TRUE(clientEvents.waitFor([&] { return clientEvents.ended(); }));
  ASSERT_TRUE(serverEvents.waitFor([&] { return serverEvents.ended(); }));
  EXPECT_EQ(clientEvents.last().kind, ConnectionState::Kind::failed);
  EXPECT_TRUE(clientEvents.last().tlsFailure);
  EXPECT_TRUE(serverEvents.last().tlsFailure);
  EXPECT_FALSE(client->securityFailure().has_value());
  EXPECT_EQ(clientEvents.count(ConnectionState::Kind::ready), 0);
}

TEST_F(CorvelConnectionTest, PinnedFingerprintMismatchIsIdentityChangedAndNoFinishIsSent) {
  auto accepting = acceptOne();
  Recorder clientEvents;
  auto client = makeClient(clientEvents, kCode, "0000 0000 0000 0000 0000 0000 0000 0000");
  client->start();
  accepting.join();
  ASSERT_TRUE(clientEvents.waitFor([&] { return clientEvents.ended(); }));
  auto failure = client->securityFailure();
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->errc(), secure::SecureChannelErrc::identityChanged);
  EXPECT_EQ(failure->expected(), "0000 0000 0000 0000 0000 0000 0000 0000");
  EXPECT_EQ(failure->got(), hostIdentity.fingerprint());
  EXPECT_EQ(clientEvents.last().error, ConnectionErrc::authenticationFailed);
  // The host never becomes ready: it sees the connection close.
  ASSERT_TRUE(serverEvents.waitFor([&] { return serverEvents.ended(); }));
  EXPECT_EQ(serverEvents.count(ConnectionState::Kind::ready), 0);
  EXPECT_FALSE(serverEvents.last().tlsFailure);
}

// What the hand-written handlers below saw, shared with them.
struct Seen {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<ConnectionState::Kind> states;
  std::vector<std::string> messages;
  std::optional<std::string> fingerprintInHandler;
  bool secureInHandler = false;

  template <class F>
  void update(F change) {
    std::lock_guard lock(mutex);
    change();
    changed.notify_all();
  }
};

TEST_F(CorvelConnectionTest, HandlersMayCallIntoTheirConnectionAndDetachAndCancelIt) {
  auto accepting = acceptOne();
  auto seen = std::make_shared<Seen>();
  auto self = std::make_shared<std::weak_ptr<CorvelConnection>>();
  CorvelConnection::Handlers handlers;
  handlers.state = [seen, self](const ConnectionState& state) {
    seen->update([&] { seen->states.push_back(state.kind); });
    auto c = self->lock();
    if (!c || state.kind != ConnectionState::Kind::ready) return;
    auto fingerprint = c->peerFingerprint();
    bool secure = c->isSecure();
    c->send(MessageType::chat, asBytes("from the state handler"));
    seen->update([&] {
      seen->fingerprintInHandler = fingerprint;
      seen->secureInHandler = secure;
    });
  };
  handlers.message = [seen, self](MessageType, Bytes& payload) {
    seen->update([&] { seen->messages.emplace_back(asString(payload)); });
    auto c = self->lock();
    if (!c) return;
    (void)c->remoteHost();
    (void)c->link();
    c->send(MessageType::chat, asBytes("echo"));
    c->detach();
    c->cancel();
  };
  auto client = CorvelConnection::client({"127.0.0.1", port}, kCode, std::move(handlers),
                                         {.identity = &clientIdentity});
  *self = client;
  client->start();
  accepting.join();

  ASSERT_TRUE(serverEvents.waitForState(ConnectionState::Kind::ready));
  ASSERT_TRUE(serverEvents.waitFor([&] { return !serverEvents.messages.empty(); }));
  {
    std::lock_guard lock(serverEvents.mutex);
    EXPECT_EQ(asString(serverEvents.messages[0].second), "from the state handler");
  }
  server->send(MessageType::chat, asBytes("one"));
  server->send(MessageType::chat, asBytes("two"));
  // The client closes (the echo may or may not get out first: it cancels right after sending).
  ASSERT_TRUE(serverEvents.waitFor([&] { return serverEvents.ended(); }));
  std::lock_guard lock(seen->mutex);
  EXPECT_EQ(seen->fingerprintInHandler, hostIdentity.fingerprint());
  EXPECT_TRUE(seen->secureInHandler);
  // Detached from inside the first message: neither the second message nor the cancellation that
  // followed reached the handlers, and the handlers are gone.
  EXPECT_EQ(seen->messages, std::vector<std::string>{"one"});
  EXPECT_EQ(seen->states,
            (std::vector{ConnectionState::Kind::preparing, ConnectionState::Kind::ready}));
  EXPECT_EQ(seen.use_count(), 1);
}

TEST_F(CorvelConnectionTest, DetachNeverWaitsForACallbackUnderWayAndNoneStartsAfterIt) {
  auto accepting = acceptOne();
  // Something the handlers own whose release detaches the connection again, as an owner's last
  // reference going with its handlers would.
  struct Owned {
    std::function<void()> onRelease;
    ~Owned() {
      if (onRelease) onRelease();
    }
  };
  auto owned = std::make_shared<Owned>();
  std::weak_ptr<Owned> ownedWatch = owned;
  auto calls = std::make_shared<std::atomic<int>>(0);
  auto entered = std::make_shared<std::promise<void>>();
  auto release = std::make_shared<std::promise<void>>();
  CorvelConnection::Handlers handlers;
  handlers.message = [owned, calls, entered, gate = release->get_future().share()](MessageType,
                                                                                   Bytes&) {
    if (calls->fetch_add(1) == 0) {
      entered->set_value();
      gate.wait();
    }
  };
  auto client = CorvelConnection::client({"127.0.0.1", port}, kCode, std::move(handlers),
                                         {.identity = &clientIdentity});
  owned->onRelease = [weak = std::weak_ptr(client)] {
    if (auto c = weak.lock()) c->detach();
  };
  owned.reset();
  client->start();
  accepting.join();
  ASSERT_TRUE(serverEvents.waitForState(ConnectionState::Kind::ready));
  server->send(MessageType::chat, asBytes("one"));
  server->send(MessageType::chat, asBytes("two"));
  ASSERT_EQ(entered->get_future().wait_for(10s), std::future_status::ready);

  // The first callback is blocked on the connection's queue; detach() still returns at once.
  auto detached = std::async(std::launch::async, [&] { client->detach(); });
  EXPECT_EQ(detached.wait_for(5s), std::future_status::ready);
  release->set_value();
  detached.wait();

  // The handlers go when the delivery under way lets go of them, detaching again on the way out
  // without a deadlock; the second message, and anything later, is not delivered.
  for (int i = 0; i < 500 && !ownedWatch.expired(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(ownedWatch.expired());
  server->send(MessageType::chat, asBytes("three"));
  client->cancel();
  ASSERT_TRUE(serverEvents.waitFor([&] { return serverEvents.ended(); }));
  EXPECT_EQ(calls->load(), 1);
}

TEST_F(CorvelConnectionTest, LinkComesFromTheInterfaceHoldingTheLocalAddress) {
  test::ScopedFakeNetworkInterfaces interfaces(
      {{.name = "wlp9s0", .up = true, .addresses = {addr("127.0.0.1")}}});
  auto accepting = acceptOne();
  Recorder clientEvents;
  auto client = makeClient(clientEvents);
  client->start();
  accepting.join();
  ASSERT_TRUE(clientEvents.waitForState(ConnectionState::Kind::ready));
  ASSERT_TRUE(serverEvents.waitForState(ConnectionState::Kind::ready));
  EXPECT_EQ(client->link(), LinkKind::wifi);
  EXPECT_EQ(server->link(), LinkKind::wifi);
  interfaces->set({{.name = "enp3s0", .up = true, .addresses = {addr("10.0.0.1"), addr("127.0.0.1")}}});
  EXPECT_EQ(server->link(), LinkKind::wired);
  interfaces->set({});
  EXPECT_EQ(server->link(), LinkKind::other);
}

TEST_F(CorvelConnectionTest, ALocalEndpointNeverGoesOutThroughAMobileInterface) {
  test::ScopedFakeNetworkInterfaces interfaces(
      {{.name = "wwan0", .up = true, .addresses = {addr("127.0.0.1")}}});
  auto accepting = acceptOne();
  Recorder clientEvents;
  auto client = makeClient(clientEvents);
  client->start();
  accepting.join();
  ASSERT_TRUE(clientEvents.waitFor([&] { return clientEvents.ended(); }));
  EXPECT_EQ(clientEvents.last().kind, ConnectionState::Kind::failed);
  EXPECT_EQ(clientEvents.last().error, ConnectionErrc::networkUnreachable);
  EXPECT_EQ(clientEvents.count(ConnectionState::Kind::ready), 0);
}

// A peer that gets through TLS and then misbehaves in the secure layer.
class MisbehavingPeerTest : public CorvelConnectionTest {
 protected:
  std::unique_ptr<test::RawPeer> connectRaw() {
    auto accepting = acceptOne();
    auto peer = std::make_unique<test::RawPeer>(port, security::AccessCode::key(kCode));
    accepting.join();
    return peer;
  }
};

TEST_F(MisbehavingPeerTest, MessagesBeforeTheHandshakeAreDroppedNotFatal) {
  auto peer = connectRaw();
  peer->sendFrame(MessageType::clipboard, asBytes(R"({"text":"early"})"));
  auto channel = peer->runClientHandshake(clientIdentity);
  ASSERT_TRUE(serverEvents.waitForState(ConnectionState::Kind::ready));
  peer->sendFrame(MessageType::clipboard, channel->seal(asBytes(R"({"text":"late"})")));
  ASSERT_TRUE(serverEvents.waitFor([&] { return !serverEvents.messages.empty(); }));
  std::lock_guard lock(serverEvents.mutex);
  ASSERT_EQ(serverEvents.messages.size(), 1u);
  EXPECT_EQ(asString(serverEvents.messages[0].second), R"({"text":"late"})");
}

TEST_F(MisbehavingPeerTest, APeerThatStallsTheHandshakeTimesOutWithoutCountingAsAWrongCode) {
  auto peer = connectRaw();  // through TLS, then silent
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(serverEvents.waitFor([&] { return serverEvents.ended(); },
                                   CorvelConnection::setupTimeout + std::chrono::seconds(5)));
  EXPECT_GE(std::chrono::steady_clock::now() - started,
            CorvelConnection::setupTimeout - std::chrono::milliseconds(500));
  EXPECT_EQ(serverEvents.last().kind, ConnectionState::Kind::failed);
  EXPECT_EQ(serverEvents.last().error, std::errc::timed_out);
  EXPECT_FALSE(serverEvents.last().tlsFailure);
  EXPECT_EQ(serverEvents.count(ConnectionState::Kind::ready), 0);
}

TEST_F(MisbehavingPeerTest, AnnouncedFramesBeyondTheLimitCloseTheConnectionAtTheirHeader) {
  // Before the channel: more than a handshake needs.
  auto peer = connectRaw();
  peer->sendHeader(MessageType::secureClientHello, CorvelConnection::maxHandshakeBytes + 1);
  ASSERT_TRUE(serverEvents.waitFor([&] { return serverEvents.ended(); }));
  EXPECT_EQ(serverEvents.last().error, std::errc::message_size);
  EXPECT_FALSE(serverEvents.last().tlsFailure);
}

TEST_F(MisbehavingPeerTest, AfterTheHandshakeLargeMessagesPassAndHugeOnesClose) {
  auto peer = connectRaw();
  auto channel = peer->runClientHandshake(clientIdentity);
  ASSERT_TRUE(serverEvents.waitForState(ConnectionState::Kind::ready));
  Bytes large(1 << 20, 0x41);  // 1 MiB, above the handshake's limit
  peer->sendFrame(MessageType::clipboard, channel->seal(large));
  ASSERT_TRUE(serverEvents.waitFor([&] { return !serverEvents.messages.empty(); }));
  peer->sendHeader(MessageType::clipboard, CorvelConnection::maxMessageBytes + 1);
  ASSERT_TRUE(serverEvents.waitFor([&] { return serverEvents.ended(); }));
  EXPECT_EQ(serverEvents.last().error, std::errc::message_size);
}

TEST_F(MisbehavingPeerTest, TamperedSealedPayloadFailsAsTampered) {
  auto peer = connectRaw();
  auto channel = peer->runClientHandshake(clientIdentity);
  ASSERT_TRUE(serverEvents.waitForState(ConnectionState::Kind::ready));
  auto sealed = channel->seal(asBytes("hello"));
  sealed[2] ^= 0x01;
  peer->sendFrame(MessageType::chat, sealed);
  ASSERT_TRUE(serverEvents.waitFor([&] { return serverEvents.ended(); }));
  EXPECT_EQ(serverEvents.last().kind, ConnectionState::Kind::failed);
  EXPECT_EQ(serverEvents.last().error, ConnectionErrc::authenticationFailed);
  EXPECT_EQ(server->securityFailure()->errc(), secure::SecureChannelErrc::tampered);
}

// Payloads above a TLS record are read straight into place, the rest come out of the read
// chunks: every size on either side of those lines, back to back, arrives whole and in order.
TEST_F(MisbehavingPeerTest, PayloadsOfEverySizeArriveWholeAndInOrder) {
  auto peer = connectRaw();
  auto channel = peer->runClientHandshake(clientIdentity);
  ASSERT_TRUE(serverEvents.waitForState(ConnectionState::Kind::ready));
  const std::size_t sizes[] = {0,         1,     100,     16383,           16384,          16385,
                               65536 - 16, 65536, 200000, (1u << 20) + 5, (3u << 20) + 1};
  std::vector<Bytes> sent;
  for (std::size_t size : sizes) {
    Bytes payload(size);
    for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<std::uint8_t>(i * 31 + size);
    sent.push_back(toBytes("before " + std::to_string(size)));
    sent.push_back(std::move(payload));
  }
  for (const auto& payload : sent) peer->sendFrame(MessageType::screenshot, channel->seal(payload));
  ASSERT_TRUE(serverEvents.waitFor([&] { return serverEvents.messages.size() == sent.size(); }));
  std::lock_guard lock(serverEvents.mutex);
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(serverEvents.messages[i].second, sent[i]) << "message " << i;
  }
}

TEST_F(MisbehavingPeerTest, ATamperedLargePayloadFailsAsTampered) {
  auto peer = connectRaw();
  auto channel = peer->runClientHandshake(clientIdentity);
  ASSERT_TRUE(serverEvents.waitForState(ConnectionState::Kind::ready));
  auto sealed = channel->seal(Bytes(100000, 0x42));
  sealed[90000] ^= 0x01;  // in the part read straight into place
  peer->sendFrame(MessageType::screenshot, sealed);
  ASSERT_TRUE(serverEvents.waitFor([&] { return serverEvents.ended(); }));
  EXPECT_EQ(serverEvents.last().error, ConnectionErrc::authenticationFailed);
  EXPECT_EQ(server->securityFailure()->errc(), secure::SecureChannelErrc::tampered);
  std::lock_guard lock(serverEvents.mutex);
  EXPECT_TRUE(serverEvents.messages.empty());
}

TEST_F(MisbehavingPeerTest, SecondClientHelloAfterTheChannelIsOutOfOrder) {
  auto peer = connectRaw();
  peer->runClientHandshake(clientIdentity);
  ASSERT_TRUE(serverEvents.waitForState(ConnectionState::Kind::ready));
  peer->sendFrame(MessageType::secureClientHello, Bytes(10));
  ASSERT_TRUE(serverEvents.waitFor([&] { return serverEvents.ended(); }));
  EXPECT_EQ(server->securityFailure()->errc(), secure::SecureChannelErrc::outOfOrder);
}

TEST_F(MisbehavingPeerTest, MalformedClientHelloFailsAsMalformed) {
  auto peer = connectRaw();
  peer->sendFrame(MessageType::secureClientHello, Bytes{0, 0, 0, 9, 1});
  ASSERT_TRUE(serverEvents.waitFor([&] { return serverEvents.ended(); }));
  EXPECT_EQ(server->securityFailure()->errc(), secure::SecureChannelErrc::malformed);
}

TEST(CorvelConnectionEndpoints, LocalEndpointsAreRecognised) {
  for (auto local : {"studio.local", "studio.local.", "localhost", "10.1.2.3", "172.20.0.1",
                     "192.168.0.9", "169.254.1.1", "127.0.0.1", "fe80::1%eth0", "fd00::2", "::1",
                     "::ffff:192.168.1.1"}) {
    EXPECT_TRUE(CorvelConnection::isLocalEndpoint(local)) << local;
  }
  for (auto remote : {"8.8.8.8", "example.com", "2001:db8::1", "100.100.1.1", ""}) {
    EXPECT_FALSE(CorvelConnection::isLocalEndpoint(remote)) << remote;
  }
}

TEST(CorvelConnectionEndpoints, NamedFindsLoopbackAndTimesOutOnMissing) {
  std::promise<std::optional<std::string>> found, missing;
  CorvelConnection::named("lo", 1s, [&](auto n) { found.set_value(n); });
  CorvelConnection::named("nosuch0", 200ms, [&](auto n) { missing.set_value(n); });
  EXPECT_EQ(found.get_future().get(), "lo");
  EXPECT_EQ(missing.get_future().get(), std::nullopt);
}

TEST(CorvelConnectionEndpoints, NamedWaitsForTheInterfaceToComeUp) {
  test::ScopedFakeNetworkInterfaces interfaces({{.name = "eth7", .up = false}});
  std::promise<std::optional<std::string>> found;
  CorvelConnection::named("eth7", 10s, [&](auto n) { found.set_value(n); });
  while (interfaces->listed() < 2) std::this_thread::sleep_for(10ms);
  interfaces->set({{.name = "eth7", .up = true}});
  EXPECT_EQ(found.get_future().get(), "eth7");
}

}  // namespace
}  // namespace corvel::net
