#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include "CorvelKit/net/CorvelConnection.h"
#include "CorvelKit/net/QuicListener.h"
#include "CorvelKit/net/QuicStream.h"
#include "CorvelKit/security/AccessCode.h"
#include "CorvelKit/security/RandomBytes.h"
#include "CorvelKit/security/SecureIdentity.h"
#include "tests/support/ConnectionRecorder.h"
#include "tests/support/TemporaryFolder.h"

namespace corvel::net {
namespace {

using namespace std::chrono_literals;
using protocol::MessageType;
using udp = boost::asio::ip::udp;
using test::ConnectionRecorder;

constexpr const char* kCode = "ABC-DEF-GHJ-KLM";
constexpr const char* kOtherCode = "ZZZ-ZZZ-ZZZ-ZZZ";

// Forwards datagrams between one client and a server port until cut, as a NAT mapping would
// until it is dropped.
class Relay {
 public:
  explicit Relay(std::uint16_t serverPort) : server_(boost::asio::ip::address_v4::loopback(), serverPort) {
    socket_.open(udp::v4());
    socket_.bind(udp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    toServer_.open(udp::v4());
    toServer_.bind(udp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    thread_ = std::thread([this] { run(); });
  }
  ~Relay() {
    stop_ = true;
    thread_.join();
  }
  std::uint16_t port() const { return socket_.local_endpoint().port(); }
  void cut() { cut_ = true; }

 private:
  void run() {
    std::vector<std::uint8_t> buffer(64 * 1024);
    boost::system::error_code ec;
    while (!stop_) {
      pollfd fds[2] = {{socket_.native_handle(), POLLIN, 0}, {toServer_.native_handle(), POLLIN, 0}};
      if (::poll(fds, 2, 20) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        std::size_t n = socket_.receive_from(boost::asio::buffer(buffer), client_, 0, ec);
        if (!ec && !cut_) toServer_.send_to(boost::asio::buffer(buffer.data(), n), server_, 0, ec);
      }
      if (fds[1].revents & POLLIN) {
        udp::endpoint from;
        std::size_t n = toServer_.receive_from(boost::asio::buffer(buffer), from, 0, ec);
        if (!ec && !cut_) socket_.send_to(boost::asio::buffer(buffer.data(), n), client_, 0, ec);
      }
    }
  }

  boost::asio::io_context io_;
  udp::socket socket_{io_};
  udp::socket toServer_{io_};
  udp::endpoint server_;
  udp::endpoint client_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> cut_{false};
  std::thread thread_;
};

class QuicTransportTest : public ::testing::Test {
 protected:
  void SetUp() override { listen({}); }

  void listen(QuicStream::Options options) {
    if (listener) listener->stop();
    listener = QuicListener::make(
        kCode,
        [this](std::shared_ptr<QuicStream> stream, udp::endpoint from) {
          auto c = CorvelConnection::server(std::move(stream), kCode, serverEvents.handlers(),
                                            &hostIdentity);
          serverEvents.track(c);
          {
            std::lock_guard lock(mutex);
            servers.push_back(c);
            remotes.push_back(from);
          }
          c->start();
        },
        options);
    std::error_code ec;
    port = listener->start(0, ec);
    ASSERT_FALSE(ec) << ec.message();
  }

  std::shared_ptr<CorvelConnection> makeClient(ConnectionRecorder& events, std::uint16_t to,
                                               const char* code = kCode) {
    auto c = CorvelConnection::client({"127.0.0.1", to}, code, events.handlers(),
                                      {.identity = &clientIdentity, .quic = true});
    events.track(c);
    return c;
  }

  std::shared_ptr<CorvelConnection> server(std::size_t i) {
    std::lock_guard lock(mutex);
    return i < servers.size() ? servers[i] : nullptr;
  }

  void TearDown() override {
    if (listener) listener->stop();
  }

  test::TemporaryHome home;
  security::SecureIdentity hostIdentity{"test.host"};
  security::SecureIdentity clientIdentity{"test.client"};
  ConnectionRecorder serverEvents;
  std::mutex mutex;
  std::vector<std::shared_ptr<CorvelConnection>> servers;
  std::vector<udp::endpoint> remotes;
  std::shared_ptr<QuicListener> listener;
  std::uint16_t port = 0;
};

// Whether the listener's count of connections comes to `wanted` within two seconds (it changes
// with no connection event to wait on).
bool settlesAt(const QuicListener& listener, std::size_t wanted) {
  for (auto end = std::chrono::steady_clock::now() + 2s; std::chrono::steady_clock::now() < end;) {
    if (listener.connectionCount() == wanted) return true;
    std::this_thread::sleep_for(5ms);
  }
  return listener.connectionCount() == wanted;
}

Bytes pattern(std::size_t size, unsigned seed) {
  Bytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(i * 131 + seed + (i >> 12));
  return b;
}

TEST_F(QuicTransportTest, SecureHandshakeOverQuicCarriesMessagesBothWaysIncludingLargeOnes) {
  ConnectionRecorder clientEvents;
  auto client = makeClient(clientEvents, port);
  client->start();
  ASSERT_TRUE(clientEvents.waitForState(ConnectionState::Kind::ready));
  ASSERT_TRUE(serverEvents.waitForState(ConnectionState::Kind::ready));
  auto host = server(0);
  ASSERT_TRUE(host);
  EXPECT_TRUE(client->holePunched());
  EXPECT_TRUE(host->holePunched());
  EXPECT_EQ(client->route(), ConnectionRoute::natTraversal);
  EXPECT_EQ(client->peerFingerprint(), hostIdentity.fingerprint());
  EXPECT_EQ(host->peerFingerprint(), clientIdentity.fingerprint());
  EXPECT_EQ(host->remoteHost(), "127.0.0.1");

  // Small messages in order, then several MiB in one message (far beyond the stream window, so
  // flow control and retransmission buffers both come into play), each way.
  const Bytes big = pattern(6u << 20, 7);
  for (int i = 0; i < 50; ++i) client->send(MessageType::ping, toBytes(std::to_string(i)));
  client->send(MessageType::video, big);
  host->send(MessageType::video, pattern(5u << 20, 3));
  host->send(MessageType::ping, toBytes("after"));
  ASSERT_TRUE(serverEvents.waitFor([&] { return serverEvents.messages.size() == 51; }, 30s));
  ASSERT_TRUE(clientEvents.waitFor([&] { return clientEvents.messages.size() == 2; }, 30s));
  for (int i = 0; i < 50; ++i) EXPECT_EQ(asString(serverEvents.messages[i].second), std::to_string(i));
  EXPECT_EQ(serverEvents.messages[50].second, big);
  EXPECT_EQ(clientEvents.messages[0].second, pattern(5u << 20, 3));
  EXPECT_EQ(asString(clientEvents.messages[1].second), "after");

  // Closing one side ends the other in order.
  client->cancel();
  ASSERT_TRUE(serverEvents.waitForState(ConnectionState::Kind::cancelled));
  EXPECT_EQ(serverEvents.count(ConnectionState::Kind::ready), 1);
  EXPECT_EQ(clientEvents.count(ConnectionState::Kind::ready), 1);
  EXPECT_TRUE(settlesAt(*listener, 0));
}

TEST_F(QuicTransportTest, WrongCodeIsATlsFailureAsOnTcp) {
  ConnectionRecorder clientEvents;
  auto client = makeClient(clientEvents, port, kOtherCode);
  client->start();
  ASSERT_TRUE(clientEvents.waitFor([&] { return clientEvents.ended(); }));
  EXPECT_EQ(clientEvents.last().kind, ConnectionState::Kind::failed);
  EXPECT_TRUE(clientEvents.last().tlsFailure);
  EXPECT_FALSE(client->securityFailure().has_value());
  EXPECT_EQ(clientEvents.count(ConnectionState::Kind::ready), 0);
  // The host's side was handed over and failed in TLS too, as a wrong code (which the host's
  // brute-force guard counts).
  ASSERT_TRUE(serverEvents.waitFor([&] { return serverEvents.ended(); }));
  EXPECT_TRUE(serverEvents.last().tlsFailure);
  EXPECT_EQ(serverEvents.count(ConnectionState::Kind::ready), 0);
}

TEST_F(QuicTransportTest, GarbageDatagramsLeaveOtherConnectionsAlone) {
  ConnectionRecorder clientEvents;
  auto client = makeClient(clientEvents, port);
  client->start();
  ASSERT_TRUE(clientEvents.waitForState(ConnectionState::Kind::ready));
  ASSERT_TRUE(serverEvents.waitForState(ConnectionState::Kind::ready));

  // Random bytes, random bytes shaped like long- and short-header packets, and empty datagrams.
  boost::asio::io_context io;
  udp::socket noise(io, udp::endpoint(udp::v4(), 0));
  const udp::endpoint target(boost::asio::ip::address_v4::loopback(), port);
  for (int i = 0; i < 2000; ++i) {
    Bytes d = security::randomBytes(static_cast<std::size_t>(i) % 1400);
    if (i % 3 == 0 && d.size() > 15) {
      // A version 1 Initial with 8-byte IDs: it passes the header checks and fails decryption.
      d[0] = 0xC0;
      d[1] = d[2] = d[3] = 0;
      d[4] = 1;
      d[5] = 8;
      d[14] = 8;
    }
    if (i % 3 == 1 && !d.empty()) d[0] = 0x40;  // a short header
    noise.send_to(boost::asio::buffer(d), target);
  }
  client->send(MessageType::ping, toBytes("still here"));
  ASSERT_TRUE(serverEvents.waitFor([&] { return serverEvents.messages.size() == 1; }));
  EXPECT_EQ(asString(serverEvents.messages[0].second), "still here");
  EXPECT_FALSE(serverEvents.ended());
  // None of it took a place among the listener's connections, nor reached the host as one.
  EXPECT_EQ(listener->connectionCount(), 1u);
  EXPECT_EQ(server(1), nullptr);
  ConnectionRecorder nextEvents;
  auto next = makeClient(nextEvents, port);
  next->start();
  EXPECT_TRUE(nextEvents.waitForState(ConnectionState::Kind::ready));
}

TEST_F(QuicTransportTest, AClientThatVanishesTimesOutAndTheListenerAcceptsTheNextOne) {
  listen({.idleTimeout = 1000ms});
  Relay relay(port);
  ConnectionRecorder goneEvents;
  auto gone = makeClient(goneEvents, relay.port());
  gone->start();
  ASSERT_TRUE(serverEvents.waitForState(ConnectionState::Kind::ready));
  relay.cut();
  ASSERT_TRUE(serverEvents.waitFor([&] { return serverEvents.ended(); }, 10s));
  EXPECT_EQ(serverEvents.last().kind, ConnectionState::Kind::failed);
  EXPECT_FALSE(serverEvents.last().tlsFailure);
  EXPECT_TRUE(settlesAt(*listener, 0));

  ConnectionRecorder nextEvents;
  auto next = makeClient(nextEvents, port);
  next->start();
  ASSERT_TRUE(nextEvents.waitForState(ConnectionState::Kind::ready));
  next->send(MessageType::ping, toBytes("next"));
  ASSERT_TRUE(serverEvents.waitFor([&] { return !serverEvents.messages.empty(); }));
  EXPECT_EQ(asString(serverEvents.messages.back().second), "next");
}

TEST_F(QuicTransportTest, ClientFromAChosenPortSharesItWithAnotherReusingSocket) {
  // The port a STUN discovery used stays bound by it while the QUIC client takes it too.
  boost::asio::io_context io;
  udp::socket stun(io);
  stun.open(udp::v4());
  stun.set_option(udp::socket::reuse_address(true));
  stun.bind(udp::endpoint(udp::v4(), 0));
  const auto local = stun.local_endpoint().port();
  ConnectionRecorder clientEvents;
  auto client = CorvelConnection::client(
      {"127.0.0.1", port}, kCode, clientEvents.handlers(),
      {.identity = &clientIdentity, .quic = true, .quicLocalPort = local});
  clientEvents.track(client);
  client->start();
  ASSERT_TRUE(serverEvents.waitForState(ConnectionState::Kind::ready));
  EXPECT_TRUE(clientEvents.waitForState(ConnectionState::Kind::ready));
  // The host saw the connection come from that port.
  std::lock_guard lock(mutex);
  ASSERT_EQ(remotes.size(), 1u);
  EXPECT_EQ(remotes[0].port(), local);
}

TEST_F(QuicTransportTest, ABusyListenerAsksNewClientsToProveTheirAddressFirst) {
  // Valid first packets of clients that will never answer: what a flood from forged addresses
  // looks like. Each client sends its Initial to a socket of ours (its own), which keeps it.
  boost::asio::io_context io;
  const auto loopback = boost::asio::ip::address_v4::loopback();
  const auto key = security::AccessCode::key(kCode);
  asio::strand<Executor> strand(Executor(sharedPool().get_executor()));
  std::vector<Bytes> initials;
  for (int i = 0; i < 20; ++i) {
    udp::socket sink(io, udp::endpoint(loopback, 0));
    std::error_code ec;
    auto c = QuicStream::client(strand, sink.local_endpoint(), 0, key.view(), {}, ec);
    ASSERT_TRUE(c) << ec.message();
    pollfd p{sink.native_handle(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    Bytes d(2048);
    d.resize(sink.receive(boost::asio::buffer(d)));
    initials.push_back(std::move(d));
    c->close();
  }
  udp::socket forger(io, udp::endpoint(loopback, 0));
  for (const auto& d : initials) forger.send_to(boost::asio::buffer(d), udp::endpoint(loopback, port));

  // The first few take places; the rest are answered with a Retry only, and take none.
  int retries = 0;
  for (pollfd p{forger.native_handle(), POLLIN, 0}; ::poll(&p, 1, 500) == 1;) {
    Bytes d(2048);
    d.resize(forger.receive(boost::asio::buffer(d)));
    if (!d.empty() && (d[0] & 0xF0) == 0xF0) ++retries;  // a version 1 Retry packet
  }
  EXPECT_EQ(listener->connectionCount(), QuicListener::retryAbove);
  EXPECT_EQ(retries, 20 - static_cast<int>(QuicListener::retryAbove));

  // A real client answers the Retry from its address and gets in; the host sees where it is.
  ConnectionRecorder clientEvents;
  auto client = makeClient(clientEvents, port);
  client->start();
  ASSERT_TRUE(clientEvents.waitForState(ConnectionState::Kind::ready));
  client->send(MessageType::ping, toBytes("proved"));
  ASSERT_TRUE(serverEvents.waitFor([&] { return !serverEvents.messages.empty(); }));
  EXPECT_EQ(asString(serverEvents.messages.back().second), "proved");
  EXPECT_EQ(listener->connectionCount(), QuicListener::retryAbove + 1);
}

}  // namespace
}  // namespace corvel::net
