// Decrypted payloads must not linger in freed heap memory. This program replaces the global
// operator new and delete so that, while a watch is set, every block given back is searched for a
// marker before it is freed.
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <thread>

#include <boost/asio/ip/tcp.hpp>

#include "CorvelKit/net/CorvelConnection.h"
#include "CorvelKit/security/SecureIdentity.h"
#include "tests/support/ConnectionRecorder.h"
#include "tests/support/HostRig.h"
#include "tests/support/TemporaryFolder.h"

namespace {

constexpr std::string_view kMarker = "marker:7f3a9c51-decrypted-payload";

std::atomic<bool> watching{false};
std::atomic<int> markersFreed{0};

void inspect(void* p) {
  if (p == nullptr || !watching.load(std::memory_order_relaxed)) return;
  const std::size_t size = malloc_usable_size(p);
  std::string_view block(static_cast<const char*>(p), size);
  if (block.find(kMarker) != std::string_view::npos) markersFreed.fetch_add(1);
}

void* allocate(std::size_t size) {
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

// Counts the marker in blocks freed while `body` runs.
template <typename Body>
int markersFreedDuring(Body&& body) {
  markersFreed = 0;
  watching = true;
  body();
  watching = false;
  return markersFreed.load();
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept {
  inspect(p);
  std::free(p);
}
void operator delete[](void* p) noexcept {
  inspect(p);
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  inspect(p);
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  inspect(p);
  std::free(p);
}

namespace corvel::net {
namespace {

using namespace std::chrono_literals;
using protocol::MessageType;
using tcp = boost::asio::ip::tcp;

constexpr const char* kCode = "ABC-DEF-GHJ-KLM";

TEST(FreedMemory, OpenedMessagesAreWipedOnceTheHandlerIsDone) {
  test::TemporaryHome home;
  security::SecureIdentity hostIdentity{"test.host"};
  security::SecureIdentity clientIdentity{"test.client"};
  boost::asio::io_context io;
  tcp::acceptor acceptor{io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0)};

  // The receiving side looks at each message and lets it go, as most of the host's handlers do.
  std::atomic<int> seen{0};
  std::shared_ptr<CorvelConnection> server;
  std::thread accepting([&] {
    tcp::socket socket(io);
    acceptor.accept(socket);
    CorvelConnection::Handlers handlers;
    handlers.message = [&seen](MessageType, Bytes& payload) {
      if (asString(payload).find(kMarker) != std::string_view::npos) seen.fetch_add(1);
    };
    server = CorvelConnection::server(std::move(socket), kCode, std::move(handlers), &hostIdentity);
    server->start();
  });
  test::ConnectionRecorder clientEvents;
  auto client = CorvelConnection::client({"127.0.0.1", acceptor.local_endpoint().port()}, kCode,
                                         clientEvents.handlers(), {.identity = &clientIdentity});
  clientEvents.track(client);
  client->start();
  accepting.join();
  ASSERT_TRUE(clientEvents.waitForState(ConnectionState::Kind::ready));

  // Small and large messages (the large one is not read in one piece).
  const std::string text(kMarker);
  std::string large(200'000, 'x');
  large.replace(150'000, kMarker.size(), kMarker);
  const int freed = markersFreedDuring([&] {
    for (int i = 0; i < 3; ++i) client->send(MessageType::chat, asBytes(text));
    client->send(MessageType::chat, asBytes(large));
    for (int i = 0; i < 500 && seen.load() < 4; ++i) std::this_thread::sleep_for(10ms);
  });
  EXPECT_EQ(seen.load(), 4);
  EXPECT_EQ(freed, 0);
  server->cancel();
}

}  // namespace
}  // namespace corvel::net

namespace ambrel::test {
namespace {

TEST(FreedMemory, PayloadsForTheMainStageAreWipedWhetherOrNotTheyRun) {
  const std::string text = std::string(kMarker) + " is not an action";
  corvel::Bytes handled = corvel::toBytes(text);
  corvel::Bytes queued = corvel::toBytes(text);
  const int freed = markersFreedDuring([&] {
    HostRig rig;
    auto peer = rig.join("Phone");
    // Handled (and refused as malformed) on the executor...
    peer.connection->deliver(corvel::protocol::MessageType::hostAction, std::move(handled));
    rig.settle();
    // ...and one still queued when the host goes.
    peer.connection->deliver(corvel::protocol::MessageType::hostAction, std::move(queued));
  });
  EXPECT_EQ(freed, 0);
}

}  // namespace
}  // namespace ambrel::test
