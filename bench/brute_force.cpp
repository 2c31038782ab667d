// A wrong-code storm: a real ambrel-host process takes ATTEMPTS wrong access keys from each of
// 200 loopback addresses (127.0.1.1 to 127.0.1.200, several at once), while a good client (from
// ::1) connects, says hello and waits for its HelloAck again and again. Prints how many wrong keys
// each source got to try before it was turned away, the good client's set-up times during the
// storm, and whether the session history kept the entries it had before.
//
//   bench_brute_force [ATTEMPTS]        (default 8; needs port 5895 free)

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ssl/error.hpp>
#include <boost/system/system_error.hpp>
#include <nlohmann/json.hpp>

#include "CorvelKit/security/SecureIdentity.h"
#include "tests/support/HostProcess.h"
#include "tests/support/RawPeer.h"
#include "tests/support/SessionTiming.h"
#include "tests/support/TemporaryFolder.h"

namespace {

using namespace std::chrono_literals;

constexpr int kSources = 200;

// The history's entries, oldest last, as "kind name" lines.
std::vector<std::string> historyEntries(const std::filesystem::path& home) {
  std::vector<std::string> entries;
  for (const auto& f : std::filesystem::recursive_directory_iterator(home)) {
    if (f.path().filename() != "SessionHistory.json") continue;
    std::ifstream in(f.path());
    auto json = nlohmann::json::parse(in, nullptr, false);
    if (!json.is_array()) continue;
    for (const auto& e : json) entries.push_back(e.dump());
  }
  return entries;
}

// What happened to one wrong key: the TLS handshake ran and failed on the key, or the host closed
// the connection before any TLS (the source is blocked).
enum class Outcome { wrongKey, turnedAway, other };

Outcome tryWrongKey(const std::string& source) {
  const corvel::Bytes wrongKey(32, 0x5a);
  try {
    corvel::test::RawPeer peer(5895, wrongKey, 0, source);
    return Outcome::other;  // TLS passed with a wrong key: must never happen
  } catch (const boost::system::system_error& e) {
    // A TLS alert means the host read the key and refused it; end of stream before any TLS means
    // it did not listen at all.
    const std::string category = e.code().category().name();
    return category == "asio.ssl" && e.code() != boost::asio::ssl::error::stream_truncated
               ? Outcome::wrongKey
               : Outcome::turnedAway;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int attempts = argc > 1 ? std::atoi(argv[1]) : 8;
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
  const std::string code = hostProcess.accessCode();
  corvel::security::SecureIdentity identity("bruteforce.client");
  // Sessions before the storm, for the history to keep.
  for (int i = 0; i < 20; ++i) corvel::test::timedSession(code, identity);
  std::this_thread::sleep_for(1s);
  const auto before = historyEntries(hostProcess.home());

  std::atomic<bool> storming{true};
  std::vector<double> times;
  int goodFailed = 0;
  std::thread good([&] {
    while (storming) {
      double ms = corvel::test::timedSession(code, identity);
      if (ms < 0) {
        ++goodFailed;
      } else {
        times.push_back(ms);
      }
    }
  });

  // 8 workers, each taking every 8th source through all its attempts.
  std::mutex mutex;
  std::map<int, std::vector<Outcome>> outcomes;
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  for (int w = 0; w < 8; ++w) {
    workers.emplace_back([&, w] {
      for (int s = w; s < kSources; s += 8) {
        const std::string source = "127.0.1." + std::to_string(1 + s);
        for (int a = 0; a < attempts; ++a) {
          auto outcome = tryWrongKey(source);
          std::lock_guard lock(mutex);
          outcomes[s].push_back(outcome);
        }
      }
    });
  }
  for (auto& w : workers) w.join();
  const double stormSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::this_thread::sleep_for(2s);
  storming = false;
  good.join();

  // Per source: how many wrong keys the host read before it turned the source away for good.
  std::map<int, int> triedBeforeBlock;  // tries -> sources
  int leaks = 0;
  for (const auto& [s, list] : outcomes) {
    int tried = 0;
    bool blocked = false;
    for (auto o : list) {
      if (o == Outcome::other) ++leaks;
      if (o == Outcome::turnedAway) blocked = true;
      if (o == Outcome::wrongKey && blocked) ++leaks;  // read again after being turned away
      if (o == Outcome::wrongKey && !blocked) ++tried;
    }
    ++triedBeforeBlock[blocked ? tried : -1];
  }
  std::sort(times.begin(), times.end());
  auto at = [&](double q) { return times.empty() ? -1.0 : times[static_cast<std::size_t>(q * (times.size() - 1))]; };
  const auto after = historyEntries(hostProcess.home());
  std::size_t kept = 0;
  for (const auto& e : before)
    if (std::find(after.begin(), after.end(), e) != after.end()) ++kept;

  std::printf("storm: %d sources x %d wrong keys in %.1f s\n", kSources, attempts, stormSeconds);
  for (const auto& [tried, sources] : triedBeforeBlock) {
    if (tried < 0) {
      std::printf("  %d sources never turned away\n", sources);
    } else {
      std::printf("  %d sources turned away after %d wrong keys\n", sources, tried);
    }
  }
  std::printf("  wrong keys read after a source was turned away, or accepted: %d\n", leaks);
  std::printf("good client during the storm: %zu sessions, p50 %.1f ms, p99 %.1f ms, failed %d\n",
              times.size(), at(0.5), at(0.99), goodFailed);
  std::printf("history: %zu entries before, %zu after, %zu of the earlier ones kept\n", before.size(),
              after.size(), kept);
  return 0;
}
