// Soak check: a real ambrel-host process takes 200 clients that come and go in every way a
// client can (bye, plain close, silence until the hello watchdog, a bare TCP connection, a wrong
// code), and its open file descriptors and resident memory are compared before and after.
//
//   bench_soak [CLIENTS]        (default 200; needs port 5895 free)

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <future>
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
#include "tests/support/TemporaryFolder.h"

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

int main(int argc, char** argv) {
  const int clients = argc > 1 ? std::atoi(argv[1]) : 200;
  const std::string hostPath = std::filesystem::path(argv[0]).parent_path() / "ambrel-host";
  corvel::test::TemporaryFolder clientHome;
  ::setenv("AMBREL_HOME", clientHome.path().c_str(), 1);

  corvel::test::HostProcess hostProcess(hostPath, {.settings = R"({"askBeforeConnecting": false})",
                                                   .environment = {{"AMBREL_LOG_LEVEL", "warn"}},
                                                   .readyText = "Listener: Ready"});
  auto& host = hostProcess.process();
  if (!hostProcess.isReady()) {
    std::cerr << "host did not start:\n" << host.errors();
    return 1;
  }
  const std::string code = hostProcess.accessCode();
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

  auto status = hostProcess.stop();
  std::printf("clients: %d in %.1f s\n", clients, seconds);
  std::printf("host open descriptors: %d before, %d after\n", fdsBefore, fdsAfter);
  std::printf("host resident memory: %ld KiB before, %ld KiB after (%+ld KiB)\n", rssBefore,
              rssAfter, rssAfter - rssBefore);
  std::printf("host exit status: %d\n", status.value_or(-1));
  return fdsAfter == fdsBefore && status == 0 ? 0 : 1;
}
