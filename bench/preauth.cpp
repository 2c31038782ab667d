// Load before anyone is known: a real ambrel-host process takes IDLE bare TCP connections from
// one address, then from 200 loopback addresses, while a good client (from ::1) connects, says
// hello and waits for its HelloAck again and again. Prints the host's extra resident memory and
// descriptors and the good client's set-up times.
//
//   bench_preauth [IDLE]        (default 1000; needs port 5895 free)

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

#include "CorvelKit/security/SecureIdentity.h"
#include "tests/support/HostProcess.h"
#include "tests/support/ProcessFigures.h"
#include "tests/support/SessionTiming.h"
#include "tests/support/TemporaryFolder.h"

namespace {

using namespace std::chrono_literals;
using corvel::test::openDescriptors;
using corvel::test::residentKiB;
using tcp = boost::asio::ip::tcp;

struct Figures {
  long rssKiB;
  int fds;
  double p50, p99;
  int failed;
};

Figures measure(pid_t host, const std::string& code, const corvel::security::SecureIdentity& identity) {
  std::vector<double> times;
  int failed = 0;
  for (int i = 0; i < 40; ++i) {
    double ms = corvel::test::timedSession(code, identity);
    if (ms < 0) {
      ++failed;
    } else {
      times.push_back(ms);
    }
  }
  std::sort(times.begin(), times.end());
  auto at = [&](double q) { return times.empty() ? -1.0 : times[static_cast<std::size_t>(q * (times.size() - 1))]; };
  return {residentKiB(host), openDescriptors(host), at(0.5), at(0.99), failed};
}

std::vector<tcp::socket> idle(boost::asio::io_context& io, int count, int addresses) {
  std::vector<tcp::socket> sockets;
  for (int i = 0; i < count; ++i) {
    tcp::socket s(io);
    boost::system::error_code ec;
    s.open(tcp::v4(), ec);
    if (addresses > 1) {
      const auto a = static_cast<unsigned>(i % addresses);
      s.bind({boost::asio::ip::make_address_v4("127.0.1." + std::to_string(1 + a)), 0}, ec);
    }
    s.connect({boost::asio::ip::address_v4::loopback(), 5895}, ec);
    if (!ec) sockets.push_back(std::move(s));
  }
  return sockets;
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
  const std::string hostPath = std::filesystem::path(argv[0]).parent_path() / "ambrel-host";
  corvel::test::TemporaryFolder clientHome;
  ::setenv("AMBREL_HOME", clientHome.path().c_str(), 1);
  corvel::test::HostProcess hostProcess(hostPath, {.settings = R"({"askBeforeConnecting": false})",
                                                   .environment = {{"AMBREL_LOG_LEVEL", "error"}},
                                                   .readyText = "Listener: Ready"});
  if (!hostProcess.isReady()) {
    std::cerr << "host did not start:\n" << hostProcess.process().errors();
    return 1;
  }
  const auto pid = hostProcess.process().pid();
  const std::string code = hostProcess.accessCode();
  corvel::security::SecureIdentity identity("preauth.client");
  corvel::test::timedSession(code, identity);  // the first key derivation and session
  std::this_thread::sleep_for(1s);
  const auto base = measure(pid, code, identity);

  auto row = [&](const char* what, const Figures& f) {
    std::printf("%-34s  RSS %+7.1f MB  fds %+5d  good client p50 %6.1f ms  p99 %6.1f ms  failed %d\n", what,
                static_cast<double>(f.rssKiB - base.rssKiB) / 1024.0, f.fds - base.fds, f.p50, f.p99, f.failed);
  };
  row("baseline (no idle connections)", base);
  for (int addresses : {1, 200}) {
    boost::asio::io_context io;
    auto held = idle(io, count, addresses);
    std::this_thread::sleep_for(1s);
    auto f = measure(pid, code, identity);
    char label[64];
    std::snprintf(label, sizeof label, "%zu idle from %d address%s", held.size(), addresses, addresses > 1 ? "es" : "");
    row(label, f);
    held.clear();
    std::this_thread::sleep_for(2s);
  }
  return 0;
}
