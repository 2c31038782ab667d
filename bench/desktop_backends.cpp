// The host on a GNOME (mutter) desktop beside the same host on X11, 1280×720 each, with one viewer:
// the host's CPU while the screen stays still; the frames a viewer gets while the pointer moves
// across the screen at 60 moves a second (each move is a new picture with the cursor drawn in);
// and the frames a viewer gets, and the host's CPU per frame, while a full-screen page of text
// scrolls at 60 steps a second (on mutter a Wayland client's shared-memory buffers, on X11 a window
// that scrolls by copying inside the server).
#include <benchmark/benchmark.h>

#include <atomic>
#include <filesystem>
#include <functional>
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
constexpr int kWidth = 1280;
constexpr int kHeight = 720;

// Starts a full-screen page scrolling at 60 steps a second; it stops when the result goes.
using Scroller = std::function<std::shared_ptr<void>()>;

struct Counted {
  long frames = 0;
  double seconds = 0;
  double fps = 0;
};

// What `corvel view` reports when it ends: "N frames in S s: F frames/s, ...".
Counted counted(const std::string& output) {
  std::smatch m;
  Counted c;
  if (std::regex_search(output, m, std::regex("([0-9]+) frames in ([0-9.]+) s: ([0-9.]+) frames/s"))) {
    c.frames = std::stol(m[1]);
    c.seconds = std::stod(m[2]);
    c.fps = std::stod(m[3]);
  }
  return c;
}

// One run against a host already serving `environment`'s desktop.
void measure(benchmark::State& state, const std::map<std::string, std::string>& environment, const Scroller& scroll) {
  corvel::test::HostProcess host(kBin + "/ambrel-host", {.settings = R"({"askBeforeConnecting": false})",
                                                         .environment = environment});
  if (!host.isReady()) {
    state.SkipWithError(("host did not start: " + host.process().errors()).c_str());
    return;
  }
  corvel::test::TemporaryFolder clientHome;
  const std::map<std::string, std::string> client{{"AMBREL_HOME", clientHome.path().string()}};
  ChildProcess viewer(kBin + "/corvel", {"view", "127.0.0.1", "--code", host.accessCode(), "--headless", "--seconds", "60"},
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
  const double pointerStart = corvel::test::cpuSeconds(host.process().pid());
  ChildProcess input(kBin + "/corvel",
                     {"connect", "127.0.0.1", "--code", host.accessCode(), "--seconds", "5", "--input", script.str()},
                     client);
  (void)input.wait(60s);
  (void)counter.wait(60s);
  const double pointerCpu = corvel::test::cpuSeconds(host.process().pid()) - pointerStart;
  const Counted pointer = counted(counter.output());

  // The page scrolls; another viewer counts what arrives, and the host's CPU is read over the
  // same span (from the viewer's first picture to its end).
  Counted scrolled;
  double scrollCpu = 0;
  {
    const auto scrolling = scroll();
    std::this_thread::sleep_for(1s);
    ChildProcess scrollCounter(
        kBin + "/corvel", {"view", "127.0.0.1", "--code", host.accessCode(), "--headless", "--seconds", "6"}, client);
    scrollCounter.waitForText("size ", 20s);
    const double start = corvel::test::cpuSeconds(host.process().pid());
    (void)scrollCounter.wait(60s);
    scrollCpu = corvel::test::cpuSeconds(host.process().pid()) - start;
    scrolled = counted(scrollCounter.output());
  }
  for (auto _ : state) {
  }
  state.counters["still_cpu_%"] = still / std::chrono::duration<double>(kStill).count() * 100;
  state.counters["moving_pointer_fps"] = pointer.fps;
  state.counters["moving_pointer_cpu_%"] = pointer.seconds > 0 ? pointerCpu / pointer.seconds * 100 : 0;
  state.counters["scrolling_fps"] = scrolled.fps;
  state.counters["scrolling_cpu_%"] = scrolled.seconds > 0 ? scrollCpu / scrolled.seconds * 100 : 0;
  state.counters["scrolling_cpu_ms_per_frame"] =
      scrolled.frames > 0 ? scrollCpu * 1000 / static_cast<double>(scrolled.frames) : 0;
}

void x11(benchmark::State& state) {
  corvel::test::XvfbServer screen("1280x720x24");
  corvel::test::ScreenPainter painter(screen.displayName());
  painter.fill(0, 0, kWidth, kHeight, 0x30B040);
  // A painter of its own on a thread of its own, 4 rows a step, 60 steps a second.
  const Scroller scroll = [&screen]() -> std::shared_ptr<void> {
    struct Scrolling {
      std::atomic<bool> stop{false};
      std::thread thread;
      ~Scrolling() {
        stop = true;
        thread.join();
      }
    };
    auto scrolling = std::make_shared<Scrolling>();
    scrolling->thread = std::thread([display = screen.displayName(), s = scrolling.get()] {
      corvel::test::ScreenPainter page(display);
      auto next = std::chrono::steady_clock::now();
      for (int offset = 0; !s->stop; offset += 4) {
        page.scrolledPage(0, 0, kWidth, kHeight, offset);
        next += std::chrono::microseconds(16'667);
        std::this_thread::sleep_until(next);
      }
    });
    return scrolling;
  };
  measure(state, {{"DISPLAY", screen.displayName()}}, scroll);
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
  // The clients set a cursor of their own, as ordinary ones do: without one mutter shows no pointer
  // over them, and a moving pointer changes nothing on the screen.
  ChildProcess probe(kBin + "/wayland_probe", {"--colour", "30B040", "--fullscreen", "--arrow"}, desktop.environment(),
                     true);
  probe.waitForText("ready", 20s);
  // A second client over the first, its page scrolling 4 rows a step, 60 steps a second.
  const Scroller scroll = [&desktop]() -> std::shared_ptr<void> {
    const std::vector<std::string> arguments{"--colour", "FFFFFF", "--fullscreen", "--scroll", "--arrow"};
    auto page = std::make_shared<ChildProcess>(kBin + "/wayland_probe", arguments, desktop.environment(), true);
    page->waitForText("ready", 20s);
    return page;
  };
  measure(state, desktop.environment(), scroll);
}
BENCHMARK(mutter)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
