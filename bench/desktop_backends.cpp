// The host on a GNOME (mutter) desktop beside the same host on X11, 1280×720 each, with one viewer:
// the host's CPU while the screen stays still, and the frames a viewer gets while the pointer moves
// across the screen at 60 moves a second (on mutter the cursor is drawn into the stream's pictures,
// so each move is a new picture, as on X11).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/support/ChildProcess.h"
#include "tests/support/HeadlessMutter.h"
#include "tests/support/HostProcess.h"
#include "tests/support/ProcessFigures.h"
#include "tests/support/ScreenPainter.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/XvfbServer.h"

namespace {

using namespace std::chrono_literals;
using corvel::test::ChildProcess;

// The programs sit beside this one.
const std::string kBin = std::filesystem::canonical("/proc/self/exe").parent_path().string();

constexpr auto kStill = 6s;
constexpr int kMoves = 240;

// One run against a host already serving `environment`'s desktop.
void measure(benchmark::State& state, const std::map<std::string, std::string>& environment) {
  corvel::test::HostProcess host(kBin + "/ambrel-host", {.settings = R"({"askBeforeConnecting": false})",
                                                         .environment = environment});
  if (!host.isReady()) {
    state.SkipWithError(("host did not start: " + host.process().errors()).c_str());
    return;
  }
  corvel::test::TemporaryFolder clientHome;
  const std::map<std::string, std::string> client{{"AMBREL_HOME", clientHome.path().string()}};
  ChildProcess viewer(kBin + "/corvel", {"view", "127.0.0.1", "--code", host.accessCode(), "--headless", "--seconds", "30"},
                      client);
  viewer.waitForText("size ", 20s);
  std::this_thread::sleep_for(2s);  // the first frame and the encoder's start settle

  const double before = corvel::test::cpuSeconds(host.process().pid());
  std::this_thread::sleep_for(kStill);
  const double still = corvel::test::cpuSeconds(host.process().pid()) - before;

  // The pointer sweeps to and fro: a second viewer counts what arrives meanwhile.
  std::ostringstream script;
  for (int i = 0; i < kMoves; ++i) {
    const double x = 0.1 + 0.8 * ((i % 60) / 60.0);
    script << "move " << x << " 0.5; wait 16; ";
  }
  ChildProcess counter(kBin + "/corvel", {"view", "127.0.0.1", "--code", host.accessCode(), "--headless", "--seconds", "5"},
                       client);
  counter.waitForText("size ", 20s);
  ChildProcess input(kBin + "/corvel",
                     {"connect", "127.0.0.1", "--code", host.accessCode(), "--seconds", "5", "--input", script.str()},
                     client);
  (void)input.wait(60s);
  (void)counter.wait(60s);
  std::smatch m;
  const std::string out = counter.output();
  double fps = 0;
  if (std::regex_search(out, m, std::regex("frames in [0-9.]+ s: ([0-9.]+) frames/s"))) fps = std::stod(m[1]);
  for (auto _ : state) {
  }
  state.counters["still_cpu_%"] = still / std::chrono::duration<double>(kStill).count() * 100;
  state.counters["moving_pointer_fps"] = fps;
}

void x11(benchmark::State& state) {
  corvel::test::XvfbServer screen("1280x720x24");
  corvel::test::ScreenPainter painter(screen.displayName());
  painter.fill(0, 0, 1280, 720, 0x30B040);
  measure(state, {{"DISPLAY", screen.displayName()}});
}
BENCHMARK(x11)->Iterations(1)->Unit(benchmark::kSecond);

void mutter(benchmark::State& state) {
  if (!corvel::test::HeadlessMutter::available()) {
    state.SkipWithError("mutter is not installed");
    return;
  }
  corvel::test::HeadlessMutter desktop({"1280x720"});
  if (!desktop.isRunning()) {
    state.SkipWithError(desktop.errors().c_str());
    return;
  }
  ChildProcess probe(kBin + "/wayland_probe", {"--colour", "30B040", "--fullscreen"}, desktop.environment(), true);
  probe.waitForText("ready", 20s);
  measure(state, desktop.environment());
}
BENCHMARK(mutter)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
