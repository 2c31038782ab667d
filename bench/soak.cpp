// Soak check: a real ambrel-host process takes 200 clients that come and go in every way a
// client can (bye, plain close, silence until the hello watchdog, a bare TCP connection, a wrong
// code), and its open file descriptors and resident memory are compared before and after.
//
// With --minutes, the host shows a private X display whose corner keeps changing, one viewer
// stays all along, and the clients keep coming and going for that long (each that says hello
// gets the video): the resident memory is sampled every minute, and its slope after the first
// ten minutes (a least-squares line) is reported in MB an hour.
//
//   bench_soak [CLIENTS]        (default 200; needs port 5895 free)
//   bench_soak --minutes N      (e.g. 60; needs port 5895 free: run it in `unshare -n` with lo up)

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <atomic>
#include <csignal>
#include <future>
#include <map>
#include <memory>
#include <vector>
#include <thread>

#include <boost/asio/ip/tcp.hpp>

#include "CorvelKit/net/CorvelConnection.h"
#include "CorvelKit/protocol/Bye.h"
#include "CorvelKit/protocol/Hello.h"
#include "CorvelKit/security/SecureIdentity.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ConnectionRecorder.h"
#include "tests/support/HostProcess.h"
#include "tests/support/ProcessFigures.h"
#include "tests/support/ScreenPainter.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/XvfbServer.h"

namespace {

using namespace std::chrono_literals;
using corvel::test::openDescriptors;
using corvel::test::residentKiB;
using corvel::net::ConnectionState;
using corvel::protocol::MessageType;

void oneClient(int i, const std::string& code, const corvel::security::SecureIdentity& identity) {
  // Every client comes from 127.0.0.1: five wrong codes would (rightly) block it, so only the
  // first four clients of that kind get the code wrong; the others take the first road.
  int kind = i % 5;
  if (kind == 4 && i >= 20) kind = 0;
  switch (kind) {
    case 0:    // says hello, then bye
    case 1: {  // says hello, then just goes
      corvel::test::ConnectionRecorder events;
      auto c = corvel::net::CorvelConnection::client({"127.0.0.1", 5895}, code, events.handlers(),
                                                     {.identity = &identity});
      events.track(c);
      c->start();
      if (!events.waitForState(ConnectionState::Kind::ready)) return;
      corvel::protocol::Hello hello;
      hello.deviceName = "soak " + std::to_string(i);
      hello.protocolVersion = 2;
      c->sendJSON(MessageType::hello, hello);
      events.waitFor([&] { return !events.messages.empty(); }, 5s);
      if (i % 5 == 0) {
        std::promise<void> sent;
        c->sendJSON(MessageType::bye, corvel::protocol::Bye{"done"}, [&](std::error_code) { sent.set_value(); });
        sent.get_future().wait_for(5s);
      }
      break;  // the recorder cancels the connection
    }
    case 2: {  // never says hello: left to the host's watchdog
      corvel::test::ConnectionRecorder events;
      auto c = corvel::net::CorvelConnection::client({"127.0.0.1", 5895}, code, events.handlers(),
                                                     {.identity = &identity});
      events.track(c);
      c->start();
      events.waitForState(ConnectionState::Kind::ready);
      std::this_thread::sleep_for(11s);
      break;
    }
    case 3: {  // a bare TCP connection that closes
      boost::asio::io_context io;
      boost::asio::ip::tcp::socket s(io);
      boost::system::error_code ec;
      s.connect({boost::asio::ip::address_v4::loopback(), 5895}, ec);
      std::this_thread::sleep_for(20ms);
      break;
    }
    case 4: {  // a wrong code
      corvel::test::ConnectionRecorder events;
      auto c = corvel::net::CorvelConnection::client({"127.0.0.1", 5895},
                                                     "WRONG-CODE-" + std::to_string(i % 2),
                                                     events.handlers(), {.identity = &identity});
      events.track(c);
      c->start();
      events.waitFor([&] { return events.ended(); }, 10s);
      break;
    }
  }
}

}  // namespace

// A host that admits without asking and logs warnings only, or nothing (said on standard error).
std::unique_ptr<corvel::test::HostProcess> startHost(const std::string& path,
                                                     std::map<std::string, std::string> environment) {
  environment.emplace("AMBREL_LOG_LEVEL", "warn");
  auto host = std::make_unique<corvel::test::HostProcess>(
      path, corvel::test::HostProcess::Options{.settings = R"({"askBeforeConnecting": false})",
                                               .environment = std::move(environment),
                                               .readyText = "Listener: Ready"});
  if (host->isReady()) return host;
  std::cerr << "host did not start:\n" << host->process().errors();
  return nullptr;
}

// The slope of `samples` (KiB, one a minute) in MB an hour, by least squares.
double slopeMBPerHour(const std::vector<long>& samples) {
  const double n = static_cast<double>(samples.size());
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const double x = static_cast<double>(i), y = static_cast<double>(samples[i]) / 1024.0;
    sx += x, sy += y, sxx += x * x, sxy += x * y;
  }
  const double denominator = n * sxx - sx * sx;
  return denominator == 0 ? 0 : (n * sxy - sx * sy) / denominator * 60.0;
}

int soakFor(int minutes, const std::string& hostPath) {
  corvel::test::XvfbServer screen("1280x720x24");
  if (!screen.isRunning()) {
    std::cerr << "no X server: " << screen.errors() << "\n";
    return 1;
  }
  auto hostProcess = startHost(hostPath, {{"DISPLAY", screen.displayName()}});
  if (!hostProcess) return 1;
  auto& host = hostProcess->process();
  const std::string code = hostProcess->accessCode();
  corvel::security::SecureIdentity identity("soak.client");
  const int fdsBefore = openDescriptors(host.pid());
  std::atomic<bool> running{true};
  std::thread animation([&] {
    corvel::test::ScreenPainter corner(screen.displayName());
    for (std::uint32_t seed = 1; running; ++seed) {
      corner.noise(1100, 560, 128, 128, seed);
      std::this_thread::sleep_for(50ms);
    }
  });
  const std::string viewerPath = std::filesystem::path(hostPath).parent_path() / "corvel";
  corvel::test::ChildProcess viewer(viewerPath, {"view", "127.0.0.1", "--code", code, "--headless", "--seconds",
                                                 std::to_string(minutes * 60 + 120)});
  std::thread churn([&] {
    for (int batch = 20; running; batch += 10) {  // past the wrong-code clients of the first batches
      std::vector<std::thread> threads;
      for (int i = batch; i < batch + 10; ++i) threads.emplace_back(oneClient, i, code, std::cref(identity));
      for (auto& t : threads) t.join();
    }
  });
  std::vector<long> samples;
  for (int minute = 0; minute <= minutes; ++minute) {
    if (minute > 0) std::this_thread::sleep_for(60s);
    samples.push_back(residentKiB(host.pid()));
    std::printf("minute %3d: host resident memory %ld KiB, %d descriptors\n", minute, samples.back(),
                openDescriptors(host.pid()));
    std::fflush(stdout);
  }
  running = false;
  churn.join();
  animation.join();
  viewer.signal(SIGTERM);
  viewer.wait(10s);
  std::this_thread::sleep_for(5s);  // the last ones are cleaned up
  const int fdsAfter = openDescriptors(host.pid());
  auto status = hostProcess->stop();
  const std::size_t warmUp = std::min<std::size_t>(10, samples.size() / 2);
  const std::vector<long> settled(samples.begin() + static_cast<std::ptrdiff_t>(warmUp), samples.end());
  std::printf("host open descriptors: %d at the start, %d after the last client\n", fdsBefore, fdsAfter);
  std::printf("host resident memory: %ld KiB at minute %zu, %ld KiB at the end; slope after it %+.2f MB/h\n",
              settled.front(), warmUp, settled.back(), slopeMBPerHour(settled));
  std::printf("host exit status: %d\n", status.value_or(-1));
  return fdsAfter <= fdsBefore && status == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
  const std::string hostPath = std::filesystem::path(argv[0]).parent_path() / "ambrel-host";
  corvel::test::TemporaryFolder clientHome;
  ::setenv("AMBREL_HOME", clientHome.path().c_str(), 1);
  if (argc > 2 && std::string(argv[1]) == "--minutes") return soakFor(std::atoi(argv[2]), hostPath);
  const int clients = argc > 1 ? std::atoi(argv[1]) : 200;

  auto hostProcess = startHost(hostPath, {});
  if (!hostProcess) return 1;
  auto& host = hostProcess->process();
  const std::string code = hostProcess->accessCode();
  corvel::security::SecureIdentity identity("soak.client");

  // Warm up once (first key derivation, first session), then take the baseline.
  oneClient(0, code, identity);
  std::this_thread::sleep_for(2s);
  const int fdsBefore = openDescriptors(host.pid());
  const long rssBefore = residentKiB(host.pid());

  auto start = std::chrono::steady_clock::now();
  // Ten at a time, so the watchdog cases overlap the others.
  for (int batch = 0; batch < clients; batch += 10) {
    std::vector<std::thread> threads;
    for (int i = batch; i < std::min(clients, batch + 10); ++i) {
      threads.emplace_back(oneClient, i, code, std::cref(identity));
    }
    for (auto& t : threads) t.join();
  }
  auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::this_thread::sleep_for(3s);  // let the last ones be cleaned up
  const int fdsAfter = openDescriptors(host.pid());
  const long rssAfter = residentKiB(host.pid());

  auto status = hostProcess->stop();
  std::printf("clients: %d in %.1f s\n", clients, seconds);
  std::printf("host open descriptors: %d before, %d after\n", fdsBefore, fdsAfter);
  std::printf("host resident memory: %ld KiB before, %ld KiB after (%+ld KiB)\n", rssBefore,
              rssAfter, rssAfter - rssBefore);
  std::printf("host exit status: %d\n", status.value_or(-1));
  return fdsAfter == fdsBefore && status == 0 ? 0 : 1;
}
