// Connection set-up and sealed-message throughput over loopback, next to a plain TLS socket
// carrying the same bytes with the same cipher suite; and the same over QUIC, the transport of
// hole-punched paths. The set-up is set beside the secure handshake's cryptography alone, timed
// in the same run. The ratios the comparisons are about are printed at the end.

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/write.hpp>

#include "CorvelKit/SecureChannel/SecureHandshake.h"
#include "CorvelKit/net/CorvelConnection.h"
#include "CorvelKit/net/QuicListener.h"
#include "CorvelKit/net/QuicStream.h"
#include "CorvelKit/net/TlsPskContext.h"
#include "CorvelKit/security/AccessCode.h"
#include "CorvelKit/security/SecureIdentity.h"

namespace {

using namespace corvel;
using net::ConnectionState;
using net::CorvelConnection;
using tcp = boost::asio::ip::tcp;

constexpr const char* kCode = "ABC-DEF-GHJ-KLM";
constexpr std::size_t kMessage = 64 * 1024;

struct Home {
  Home() {
    char tmpl[] = "/tmp/corvel-bench-XXXXXX";
    path = ::mkdtemp(tmpl);
    ::setenv("AMBREL_HOME", path.c_str(), 1);
  }
  ~Home() { std::filesystem::remove_all(path); }
  std::filesystem::path path;
};

// Waits for a count to reach a target. The waiter is woken once, when the target is reached, not
// at every step: a waiter woken per message would take the processor from the threads measured.
struct Latch {
  std::mutex m;
  std::condition_variable cv;
  std::size_t count = 0;
  std::size_t awaited = 0;
  void add(std::size_t n = 1) {
    std::lock_guard l(m);
    count += n;
    if (awaited != 0 && count >= awaited) cv.notify_all();
  }
  void waitFor(std::size_t target) {
    std::unique_lock l(m);
    awaited = target;
    cv.wait(l, [&] { return count >= target; });
    awaited = 0;
  }
};

// What the handlers count: shared with them, so that a callback still under way after close()
// counts into memory that is still there.
struct Progress {
  Latch ready, received;
  std::size_t receivedBytes = 0;
};

struct Pair {
  std::shared_ptr<CorvelConnection> client, server;
  std::shared_ptr<Progress> progress = std::make_shared<Progress>();
};

// Starts the host's side of `pair` (made by `makeServer` from its handlers) and waits until both
// sides are ready.
template <typename MakeServer>
void finishPair(Pair& pair, MakeServer makeServer) {
  CorvelConnection::Handlers serverHandlers;
  serverHandlers.state = [progress = pair.progress](const ConnectionState& s) {
    if (s.kind == ConnectionState::Kind::ready) progress->ready.add();
  };
  serverHandlers.message = [progress = pair.progress](protocol::MessageType, Bytes& payload) {
    progress->receivedBytes += payload.size();
    progress->received.add();
  };
  pair.server = makeServer(std::move(serverHandlers));
  pair.server->start();
  pair.progress->ready.waitFor(2);
}

std::unique_ptr<Pair> connectPair(tcp::acceptor& acceptor, const security::SecureIdentity& host,
                                  const security::SecureIdentity& device) {
  auto pair = std::make_unique<Pair>();
  auto onReady = [progress = pair->progress](const ConnectionState& s) {
    if (s.kind == ConnectionState::Kind::ready) progress->ready.add();
  };
  CorvelConnection::Handlers clientHandlers;
  clientHandlers.state = onReady;
  pair->client = CorvelConnection::client({"127.0.0.1", acceptor.local_endpoint().port()}, kCode,
                                          std::move(clientHandlers), {.identity = &device});
  pair->client->start();
  // The kernel completes the client's TCP handshake on its own: accepting here, while the client
  // goes on from the pool, waits no longer than the connect.
  tcp::socket accepted(acceptor.get_executor());
  acceptor.accept(accepted);
  finishPair(*pair, [&](CorvelConnection::Handlers handlers) {
    return CorvelConnection::server(std::move(accepted), kCode, std::move(handlers), &host);
  });
  return pair;
}

// The host's QUIC listener: hands each accepted stream to the one waiting for it.
struct QuicHost {
  std::mutex m;
  std::condition_variable cv;
  std::deque<std::shared_ptr<net::QuicStream>> accepted;
  std::shared_ptr<net::QuicListener> listener;
  std::uint16_t port = 0;

  QuicHost() {
    listener = net::QuicListener::make(kCode, [this](std::shared_ptr<net::QuicStream> s,
                                                     boost::asio::ip::udp::endpoint) {
      std::lock_guard l(m);
      accepted.push_back(std::move(s));
      cv.notify_all();
    });
    std::error_code ec;
    port = listener->start(0, ec);
  }
  std::shared_ptr<net::QuicStream> next() {
    std::unique_lock l(m);
    cv.wait(l, [&] { return !accepted.empty(); });
    auto s = std::move(accepted.front());
    accepted.pop_front();
    return s;
  }
};

std::unique_ptr<Pair> connectQuicPair(QuicHost& quicHost, const security::SecureIdentity& host,
                                      const security::SecureIdentity& device) {
  auto pair = std::make_unique<Pair>();
  auto onReady = [progress = pair->progress](const ConnectionState& s) {
    if (s.kind == ConnectionState::Kind::ready) progress->ready.add();
  };
  CorvelConnection::Handlers clientHandlers;
  clientHandlers.state = onReady;
  pair->client = CorvelConnection::client({"127.0.0.1", quicHost.port}, kCode,
                                          std::move(clientHandlers),
                                          {.identity = &device, .quic = true});
  pair->client->start();
  finishPair(*pair, [&](CorvelConnection::Handlers handlers) {
    return CorvelConnection::server(quicHost.next(), kCode, std::move(handlers), &host);
  });
  return pair;
}

void close(Pair& p) {
  p.client->cancel();
  p.server->cancel();
  p.client->detach();
  p.server->detach();
}

struct Fixture {
  Home home;
  security::SecureIdentity host{"bench.host"};
  security::SecureIdentity device{"bench.device"};
  boost::asio::io_context io;
  tcp::acceptor acceptor{io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0)};
  Fixture() { (void)security::AccessCode::key(kCode); }  // cached, as on a running host
  QuicHost quic;
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

// TCP + TLS-PSK + the secure handshake, both roles in this process, until both are ready.
void BM_ConnectionSetUp(benchmark::State& state) {
  auto& f = fixture();
  for (auto _ : state) {
    auto pair = connectPair(f.acceptor, f.host, f.device);
    state.PauseTiming();
    close(*pair);
    state.ResumeTiming();
  }
  state.SetLabel("ms per connection = real time");
}
BENCHMARK(BM_ConnectionSetUp)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(50);

// The secure handshake's cryptography alone, both roles in this thread, with the same identities
// and key: what BM_ConnectionSetUp cannot do without.
void BM_HandshakeCryptography(benchmark::State& state) {
  auto& f = fixture();
  const auto key = security::AccessCode::key(kCode);
  for (auto _ : state) {
    secure::SecureHandshake client(secure::SecureHandshake::Role::client, key, f.device);
    secure::SecureHandshake server(secure::SecureHandshake::Role::server, key, f.host);
    auto finished = client.finish(server.respond(client.makeClientHello()));
    benchmark::DoNotOptimize(server.complete(finished.finishMessage));
  }
  state.SetLabel("ms per handshake = real time");
}
BENCHMARK(BM_HandshakeCryptography)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(50);

// QUIC (TLS 1.3 with the same key) + the secure handshake, until both are ready.
void BM_QuicConnectionSetUp(benchmark::State& state) {
  auto& f = fixture();
  for (auto _ : state) {
    auto pair = connectQuicPair(f.quic, f.host, f.device);
    state.PauseTiming();
    close(*pair);
    state.ResumeTiming();
  }
  state.SetLabel("ms per connection = real time");
}
BENCHMARK(BM_QuicConnectionSetUp)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(50);

// One-way sealed messages of 64 KiB over one connection, until the peer has opened them all.
void sealedThroughput(benchmark::State& state, Pair& pair) {
  Bytes payload(kMessage, 0x5A);
  const std::size_t batch = 256;
  std::size_t expected = 0;
  for (auto _ : state) {
    for (std::size_t i = 0; i < batch; ++i) pair.client->send(protocol::MessageType::video, payload);
    expected += batch;
    pair.progress->received.waitFor(expected);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(expected * kMessage));
  state.SetItemsProcessed(static_cast<std::int64_t>(expected));
  close(pair);
}

void BM_SealedThroughput(benchmark::State& state) {
  auto& f = fixture();
  auto pair = connectPair(f.acceptor, f.host, f.device);
  sealedThroughput(state, *pair);
}
BENCHMARK(BM_SealedThroughput)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_QuicSealedThroughput(benchmark::State& state) {
  auto& f = fixture();
  auto pair = connectQuicPair(f.quic, f.host, f.device);
  sealedThroughput(state, *pair);
}
BENCHMARK(BM_QuicSealedThroughput)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same bytes through a plain TLS socket (same suite, same key), no framing or sealing.
void BM_PlainTlsThroughput(benchmark::State& state) {
  auto& f = fixture();
  auto key = security::AccessCode::key(kCode);
  auto serverContext = net::makeTlsPskContext(net::TlsRole::server, key);
  auto clientContext = net::makeTlsPskContext(net::TlsRole::client, key);
  boost::asio::io_context io;
  boost::asio::ssl::stream<tcp::socket> client(io, clientContext);
  std::promise<void> serverReady;
  Latch received;
  std::thread server([&] {
    boost::asio::io_context sio;
    boost::asio::ssl::stream<tcp::socket> s(sio, serverContext);
    f.acceptor.accept(s.next_layer());
    s.handshake(boost::asio::ssl::stream_base::server);
    serverReady.set_value();
    std::vector<std::uint8_t> buf(kMessage);
    boost::system::error_code ec;
    while (true) {
      boost::asio::read(s, boost::asio::buffer(buf), ec);
      if (ec) break;
      received.add();
    }
  });
  client.next_layer().connect(f.acceptor.local_endpoint());
  client.handshake(boost::asio::ssl::stream_base::client);
  serverReady.get_future().wait();
  Bytes payload(kMessage, 0x5A);
  const std::size_t batch = 256;
  std::size_t expected = 0;
  for (auto _ : state) {
    for (std::size_t i = 0; i < batch; ++i) boost::asio::write(client, boost::asio::buffer(payload));
    expected += batch;
    received.waitFor(expected);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(expected * kMessage));
  state.SetItemsProcessed(static_cast<std::int64_t>(expected));
  client.next_layer().close();
  server.join();
}
BENCHMARK(BM_PlainTlsThroughput)->Unit(benchmark::kMillisecond)->UseRealTime();

// The console's rows as they come, keeping each benchmark's time and byte rate for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      const std::string name = run.benchmark_name().substr(0, run.benchmark_name().find('/'));
      times_[name] = run.GetAdjustedRealTime();
      if (auto it = run.counters.find("bytes_per_second"); it != run.counters.end()) rates_[name] = it->second;
    }
  }

  void printRatios() const {
    auto ratio = [](const std::map<std::string, double>& m, const char* a, const char* b) {
      auto x = m.find(a), y = m.find(b);
      return x != m.end() && y != m.end() && y->second > 0 ? x->second / y->second : 0.0;
    };
    if (double r = ratio(times_, "BM_ConnectionSetUp", "BM_HandshakeCryptography"); r > 0) {
      std::printf("set-up / handshake cryptography: %.2f× (aim ≤ 1.3)\n", r);
    }
    if (double r = ratio(rates_, "BM_SealedThroughput", "BM_PlainTlsThroughput"); r > 0) {
      std::printf("sealed / plain TLS throughput: %.2f× (aim ≥ 0.8)\n", r);
    }
    if (double r = ratio(times_, "BM_QuicConnectionSetUp", "BM_ConnectionSetUp"); r > 0) {
      std::printf("set-up over QUIC / over TCP: %.2f×\n", r);
    }
    if (double r = ratio(rates_, "BM_QuicSealedThroughput", "BM_SealedThroughput"); r > 0) {
      std::printf("sealed throughput over QUIC / over TCP: %.2f×\n", r);
    }
  }

 private:
  std::map<std::string, double> times_;
  std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatios();
  benchmark::Shutdown();
  return 0;
}
