// Crash consistency: a real ambrel-host process is killed with SIGKILL at a random moment, ROUNDS
// times, in one home folder, while its settings, keychain, history and browser certificate are
// being written (settings changed and new codes made through the control socket, wrong keys sent
// so the history grows, the certificate removed every fourth round so the host makes it again).
// After every kill each file that exists must parse. Prints what was written and what broke.
//
//   bench_crash_consistency [ROUNDS]        (default 200; needs ports 5895 and 5896 free)

#include <openssl/pkcs12.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "Ambrel_Host/capture/VirtualDisplay.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/RawPeer.h"
#include "tests/support/TemporaryFolder.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool parsesAsJSON(const fs::path& path, bool (*shape)(const nlohmann::json&)) {
  auto json = nlohmann::json::parse(readAll(path), nullptr, false);
  return !json.is_discarded() && shape(json);
}

bool parsesAsPKCS12(const fs::path& path) {
  const std::string bytes = readAll(path);
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  PKCS12* p12 = d2i_PKCS12(nullptr, &p, static_cast<long>(bytes.size()));
  if (p12 == nullptr) return false;
  PKCS12_free(p12);
  return true;
}

struct FileCheck {
  const char* name;
  fs::path path;
  bool (*parses)(const fs::path&);
  int seen = 0;
  int broken = 0;
};

// Runs `ambrel-host ARGS...` against the home folder and waits for it.
void command(const std::string& program, const fs::path& home, std::vector<std::string> args) {
  corvel::test::ChildProcess child(program, std::move(args), {{"AMBREL_HOME", home.string()}});
  (void)child.wait(5s);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
  const std::string program = fs::path(argv[0]).parent_path() / "ambrel-host";
  auto display = ambrel::VirtualDisplay::start({640, 480, 24});
  if (!display) {
    std::cerr << "no virtual display: " << display.error().message() << "\n";
    return 1;
  }
  corvel::test::TemporaryFolder home;
  fs::create_directories(home.path() / "config");
  std::ofstream(home.path() / "config" / "settings.json")
      << R"({"browserAccess": true, "askBeforeConnecting": false})";

  std::vector<FileCheck> files = {
      {"settings", home.path() / "config" / "settings.json",
       [](const fs::path& p) { return parsesAsJSON(p, [](const nlohmann::json& j) { return j.is_object(); }); }},
      {"keychain", home.path() / "config" / "keychain.json",
       [](const fs::path& p) {
         return parsesAsJSON(p, [](const nlohmann::json& j) { return j.is_object() && j["items"].is_array(); });
       }},
      {"history", home.path() / "data" / "SessionHistory.json",
       [](const fs::path& p) { return parsesAsJSON(p, [](const nlohmann::json& j) { return j.is_array(); }); }},
      {"certificate", home.path() / "data" / "browser-tls.p12", parsesAsPKCS12},
  };

  std::mt19937 random(20261210);
  std::uniform_int_distribution<int> killAfter(100, 2500);
  int settingsWritten = 0, codesMade = 0, wrongKeys = 0, startsSeen = 0;
  for (int round = 0; round < rounds; ++round) {
    if (round % 4 == 0) fs::remove(home.path() / "data" / "browser-tls.p12");
    corvel::test::ChildProcess host(program, {},
                                    {{"AMBREL_HOME", home.path().string()},
                                     {"DISPLAY", (*display)->name()},
                                     {"AMBREL_LOG_LEVEL", "error"}});
    std::atomic<bool> writing{true};
    std::thread writer([&, round] {
      for (int step = 0; writing; ++step) {
        switch (step % 3) {
          case 0:
            command(program, home.path(), {"settings", "shareClipboard", step % 2 ? "true" : "false"});
            ++settingsWritten;
            break;
          case 1:
            command(program, home.path(), {"new-code"});
            ++codesMade;
            break;
          default:
            try {
              const corvel::Bytes wrongKey(32, 0x5a);
              const std::string source = "127.0.3." + std::to_string(1 + (round * 7 + step) % 250);
              corvel::test::RawPeer peer(5895, wrongKey, 0, source);
            } catch (const std::exception&) {
              ++wrongKeys;
            }
        }
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(killAfter(random)));
    if (host.output().find("Access code") != std::string::npos) ++startsSeen;
    host.signal(SIGKILL);
    (void)host.wait(5s);
    writing = false;
    writer.join();
    for (auto& f : files) {
      if (!fs::exists(f.path)) continue;
      ++f.seen;
      if (!f.parses(f.path)) {
        ++f.broken;
        std::printf("round %d: %s does not parse\n", round, f.name);
      }
    }
  }

  std::size_t leftovers = 0;
  for (const auto& entry : fs::recursive_directory_iterator(home.path())) {
    const auto name = entry.path().filename().string();
    if (name.starts_with(".")) ++leftovers;  // the atomic writer's .NAME.XXXXXX
  }
  std::printf("%d kills (%d after the host had printed its code); %d settings changes, %d new codes, "
              "%d wrong keys sent\n",
              rounds, startsSeen, settingsWritten, codesMade, wrongKeys);
  for (const auto& f : files) {
    std::printf("  %-12s present after %3d kills, broken %d\n", f.name, f.seen, f.broken);
  }
  std::printf("  temporary files left behind: %zu\n", leftovers);
  return 0;
}
