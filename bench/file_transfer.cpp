// File throughput over loopback, side by side with a plain TLS socket copying the same file:
//
//   1. in one process: a FileSender on a CorvelConnection (TLS-PSK, framing, the sealed channel,
//      one 64 KiB chunk in flight) into a FileReceiver writing the file, against a plain TLS
//      socket with the same cipher suite and key copying the same file in 64 KiB writes into a
//      file; wall time and the receiving side's CPU time (its threads') per MB;
//   2. the real thing: `corvel send FILE` to a running `ambrel-host`, timed from the moment the
//      host's part file appears to the moment the finished file does, with the host's CPU time
//      (/proc/PID/stat) over the same span, per MB.
//
// Runs alternate and repeat, each from the same state of the page cache (the last run's output
// removed and the rest written back); medians are reported. Every file lives in a scratch folder
// that is removed at the end. The real host listens on the fixed port 5895: nothing else may hold it.
//
//   bench_file_transfer [--megabytes N] [--repeats N] [--skip-host]

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/write.hpp>

#include "CorvelKit/base/JSONCoding.h"
#include "CorvelKit/files/FileReceiver.h"
#include "CorvelKit/files/FileSender.h"
#include "CorvelKit/net/CorvelConnection.h"
#include "CorvelKit/net/TlsPskContext.h"
#include "CorvelKit/protocol/FileEnd.h"
#include "CorvelKit/protocol/FileOffer.h"
#include "CorvelKit/security/AccessCode.h"
#include "CorvelKit/security/SecureIdentity.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/HostProcess.h"
#include "tests/support/TemporaryFolder.h"

namespace {

namespace fs = std::filesystem;
using namespace corvel;
using namespace std::chrono_literals;
using net::ConnectionState;
using net::CorvelConnection;
using protocol::MessageType;
using tcp = boost::asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr const char* kCode = "ABC-DEF-GHJ-KLM";
constexpr std::size_t kPiece = 64 * 1024;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// CPU time of the calling thread.
double threadCpu() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// CPU time (user + system) of a process, from /proc.
double processCpu(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), {});
  auto close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 2));
  std::string skip;
  // Fields 3 to 13, then utime (14) and stime (15).
  for (int i = 3; i <= 13; ++i) fields >> skip;
  double user = 0, system = 0;
  fields >> user >> system;
  return (user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

void makeFile(const fs::path& path, std::size_t bytes) {
  std::ofstream out(path, std::ios::binary);
  std::mt19937_64 random(42);
  std::vector<std::uint64_t> block(1 << 16);
  for (std::size_t left = bytes; left > 0;) {
    for (auto& w : block) w = random();
    const auto n = std::min(left, block.size() * sizeof(std::uint64_t));
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
    left -= n;
  }
}

struct Run {
  double seconds = 0;
  double receiverCpu = 0;  // seconds
};

// ---- 1a. FileSender → CorvelConnection → FileReceiver ------------------------------------------

Run sealedCopy(const fs::path& file, const fs::path& into, const security::SecureIdentity& host,
               const security::SecureIdentity& device) {
  boost::asio::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
  auto accepted = std::async(std::launch::async, [&] {
    tcp::socket s(io);
    acceptor.accept(s);
    return s;
  });
  // What the handlers share with this function; a late callback finds it still there.
  struct Shared {
    explicit Shared(const fs::path& folder) : receiver(folder) {}
    std::mutex m;
    std::condition_variable cv;
    int ready = 0;
    bool done = false;
    double cpu = 0;
    files::FileReceiver receiver;
  };
  auto shared = std::make_shared<Shared>(into);
  auto onReady = [shared](const ConnectionState& s) {
    if (s.kind != ConnectionState::Kind::ready) return;
    std::lock_guard l(shared->m);
    ++shared->ready;
    shared->cv.notify_all();
  };
  // The receiving side as the host has it: each message written as it arrives, on the
  // connection's queue; its CPU counted on that thread.
  auto onMessage = [shared](MessageType type, Bytes& payload) {
    const double before = threadCpu();
    auto& receiver = shared->receiver;
    if (type == MessageType::fileOffer) {
      (void)receiver.offer(*JSONCoding::decode<protocol::FileOffer>(payload));
    } else if (type == MessageType::fileChunk) {
      (void)receiver.chunk(payload);
    } else if (type == MessageType::fileEnd) {
      (void)receiver.end(*JSONCoding::decode<protocol::FileEnd>(payload));
    }
    std::lock_guard l(shared->m);
    shared->cpu += threadCpu() - before;
    if (type == MessageType::fileEnd) shared->done = true;
    shared->cv.notify_all();
  };
  auto client = CorvelConnection::client({"127.0.0.1", acceptor.local_endpoint().port()}, kCode,
                                         {.state = onReady}, {.identity = &device});
  client->start();
  auto server = CorvelConnection::server(accepted.get(), kCode, {.message = onMessage, .state = onReady}, &host);
  server->start();
  {
    std::unique_lock l(shared->m);
    shared->cv.wait(l, [&] { return shared->ready == 2; });
  }
  std::weak_ptr<CorvelConnection> weak = client;
  files::FileSender::Channel channel{
      [weak](MessageType t, ByteView p, files::FileSender::Completion c) {
        if (auto s = weak.lock()) s->send(t, p, std::move(c));
      },
      [weak] {
        auto s = weak.lock();
        return s && s->isSecure();
      }};
  auto sender = *files::FileSender::make(file, channel);
  const auto start = Clock::now();
  sender->start({});
  Run run;
  {
    std::unique_lock l(shared->m);
    shared->cv.wait(l, [&] { return shared->done; });
    run = {seconds(Clock::now() - start), shared->cpu};
  }
  client->cancel();
  server->cancel();
  client->detach();
  server->detach();
  return run;
}

// ---- 1b. The same file over a plain TLS socket ----------------------------------------------------

Run plainTlsCopy(const fs::path& file, const fs::path& into) {
  boost::asio::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
  const auto key = security::AccessCode::key(kCode);
  auto serverContext = net::makeTlsPskContext(net::TlsRole::server, key);
  auto clientContext = net::makeTlsPskContext(net::TlsRole::client, key);
  const auto size = fs::file_size(file);
  std::promise<void> serverReady;
  double cpu = 0;
  std::thread server([&] {
    boost::asio::io_context sio;
    boost::asio::ssl::stream<tcp::socket> s(sio, serverContext);
    acceptor.accept(s.next_layer());
    s.handshake(boost::asio::ssl::stream_base::server);
    serverReady.set_value();
    const double before = threadCpu();
    std::ofstream out(into / "plain.bin", std::ios::binary);
    std::vector<char> buffer(kPiece);
    std::size_t received = 0;
    boost::system::error_code ec;
    while (received < size) {
      const auto n = s.read_some(boost::asio::buffer(buffer), ec);
      if (ec) break;
      out.write(buffer.data(), static_cast<std::streamsize>(n));
      received += n;
    }
    out.close();
    cpu = threadCpu() - before;
  });
  boost::asio::ssl::stream<tcp::socket> client(io, clientContext);
  client.next_layer().connect(acceptor.local_endpoint());
  client.next_layer().set_option(tcp::no_delay(true));
  client.handshake(boost::asio::ssl::stream_base::client);
  serverReady.get_future().wait();
  const auto start = Clock::now();
  std::ifstream in(file, std::ios::binary);
  std::vector<char> buffer(kPiece);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const auto n = static_cast<std::size_t>(in.gcount());
    if (n == 0) break;
    boost::asio::write(client, boost::asio::buffer(buffer.data(), n));
  }
  server.join();
  Run run{seconds(Clock::now() - start), cpu};
  client.next_layer().close();
  return run;
}

// ---- 2. corvel send to a running ambrel-host --------------------------------------------------------

std::optional<Run> hostCopy(const fs::path& file, const fs::path& bin) {
  test::TemporaryFolder clientHome;
  test::HostProcess host(bin / "ambrel-host", {.settings = R"({"askBeforeConnecting": false})",
                                                 .environment = {{"DISPLAY", ""}}});
  if (!host.isReady()) {
    std::fprintf(stderr, "the host didn't start (is port 5895 free?)\n%s\n", host.process().errors().c_str());
    return std::nullopt;
  }
  const auto inbox = host.home() / "Downloads" / "Ambrel";
  const auto finished = inbox / file.filename();
  test::ChildProcess send((bin / "corvel").string(),
                          {"send", "127.0.0.1", "--code", host.accessCode(), "--name", "Bench", file.string()},
                          {{"AMBREL_HOME", clientHome.path().string()}});
  // From the part file's appearance to the finished file's.
  auto hasPart = [&] {
    std::error_code ec;
    for (auto& e : fs::directory_iterator(inbox, ec)) {
      if (e.path().filename().string().ends_with(".corvel-part")) return true;
    }
    return false;
  };
  const auto deadline = Clock::now() + 60s;
  while (!hasPart() && !fs::exists(finished) && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
  const auto start = Clock::now();
  const double cpuBefore = processCpu(host.process().pid());
  while (!fs::exists(finished) && Clock::now() < deadline + 300s) std::this_thread::sleep_for(1ms);
  Run run{seconds(Clock::now() - start), processCpu(host.process().pid()) - cpuBefore};
  if (send.wait(60s) != 0 || fs::file_size(finished) != fs::file_size(file)) {
    std::fprintf(stderr, "corvel send failed:\n%s%s\n", send.output().c_str(), send.errors().c_str());
    return std::nullopt;
  }
  (void)host.stop();
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t megabytes = 1024;
  int repeats = 3;
  bool withHost = true;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    auto number = [&](auto& out) {
      if (i + 1 >= argc) return false;
      const std::string_view v = argv[++i];
      return std::from_chars(v.data(), v.data() + v.size(), out).ec == std::errc{};
    };
    if (a == "--megabytes" && number(megabytes)) continue;
    if (a == "--repeats" && number(repeats)) continue;
    if (a == "--skip-host") {
      withHost = false;
      continue;
    }
    std::fprintf(stderr, "usage: bench_file_transfer [--megabytes N] [--repeats N] [--skip-host]\n");
    return 64;
  }
  const auto bin = fs::canonical("/proc/self/exe").parent_path();
  test::TemporaryHome home;
  const auto file = home.path() / "payload.bin";
  makeFile(file, megabytes << 20);
  const double mb = static_cast<double>(megabytes) * 1.048576;  // 10^6 bytes
  std::printf("file: %zu MiB of random bytes, %d runs each (medians)\n", megabytes, repeats);

  security::SecureIdentity host("bench.host"), device("bench.device");
  (void)security::AccessCode::key(kCode);
  std::vector<double> sealedTime, sealedCpu, plainTime, plainCpu, hostTime, hostCpu;
  // Every run starts with no dirty pages of an earlier one: what it wrote is removed and the
  // rest written back, or the kernel would hold later writers back.
  const auto into = home.path() / "in";
  auto settle = [&] {
    fs::remove_all(into);
    ::sync();
    fs::create_directories(into);
  };
  settle();
  auto runPlain = [&] {
    auto run = plainTlsCopy(file, into);
    plainTime.push_back(run.seconds);
    plainCpu.push_back(run.receiverCpu);
    std::printf("  plain  %.2f s\n", run.seconds);
    settle();
  };
  auto runSealed = [&] {
    auto run = sealedCopy(file, into / "sealed", host, device);
    sealedTime.push_back(run.seconds);
    sealedCpu.push_back(run.receiverCpu);
    std::printf("  sealed %.2f s\n", run.seconds);
    settle();
  };
  auto runHost = [&] {
    if (!withHost) return;
    if (auto run = hostCopy(file, bin)) {
      hostTime.push_back(run->seconds);
      hostCpu.push_back(run->receiverCpu);
      std::printf("  host   %.2f s\n", run->seconds);
    }
    settle();
  };
  // The order turns round every run, so that none always follows the same one.
  for (int r = 0; r < repeats; ++r) {
    if (r % 2 == 0) {
      runPlain();
      runSealed();
      runHost();
    } else {
      runHost();
      runSealed();
      runPlain();
    }
  }
  auto row = [&](const char* what, const std::vector<double>& t, const std::vector<double>& cpu) {
    if (t.empty()) return;
    std::printf("%-44s %8.0f MB/s  %6.2f s  receiver CPU %6.3f ms/MB\n", what, mb / median(t), median(t),
                1000 * median(cpu) / mb);
  };
  row("plain TLS socket, 64 KiB writes", plainTime, plainCpu);
  row("FileSender -> sealed channel -> FileReceiver", sealedTime, sealedCpu);
  row("corvel send -> ambrel-host (host CPU)", hostTime, hostCpu);
  std::printf("sealed / plain throughput: %.2fx\n", median(plainTime) / median(sealedTime));
  if (!hostTime.empty()) std::printf("host / plain throughput:   %.2fx\n", median(plainTime) / median(hostTime));
  return 0;
}
