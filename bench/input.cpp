// Input injection against a real X server (a private Xvfb started here): how many events per
// second a caller thread — as a connection's strand would — gets through the injector and XTest
// into the server, and how long a pointer move takes until the server reports the new position.
//
//   bench_input [benchmark options]

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "Ambrel_Host/input/InputInjector.h"
#include "Ambrel_Host/input/XTestEventPoster.h"
#include "tests/support/XEventRecorder.h"
#include "tests/support/XvfbServer.h"

namespace {

using corvel::protocol::InputEvent;
using corvel::test::XEventRecorder;

constexpr int width = 1280, height = 800;

// One server, injector and observer for every benchmark of the run.
struct Desktop {
  corvel::test::XvfbServer xvfb{"1280x800x24"};
  std::unique_ptr<XEventRecorder> observer;
  std::shared_ptr<ambrel::InputInjector> injector;

  Desktop() {
    if (!xvfb.isRunning()) {
      std::fprintf(stderr, "Xvfb did not start: %s\n", xvfb.errors().c_str());
      std::exit(1);
    }
    observer = std::make_unique<XEventRecorder>(xvfb.displayName());
    // The injector works on the shared pool, as in the host.
    injector = ambrel::InputInjector::create(std::make_unique<ambrel::XTestEventPoster>(xvfb.displayName()), {});
    if (!observer->isConnected() || !injector->isTrusted()) {
      std::fprintf(stderr, "no XTest on %s\n", xvfb.displayName().c_str());
      std::exit(1);
    }
  }

  // Moves the pointer to the pixel (x, y) and waits until the server reports it there. Requests
  // of the injector's connection are handled in order, so everything injected before is then
  // delivered too.
  void moveAndWait(int x, int y, bool pause) {
    injector->inject(InputEvent::MouseMove{(x + 0.5) / width, (y + 0.5) / height});
    while (observer->pointer() != std::make_pair(x, y)) {
      if (pause) std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  }
};

Desktop& desktop() {
  static Desktop d;
  return d;
}

constexpr int batch = 2000;

void BM_InjectedMovesPerSecond(benchmark::State& state) {
  auto& d = desktop();
  int round = 0;
  for (auto _ : state) {
    for (int i = 0; i < batch; ++i) d.injector->inject(InputEvent::MouseMove{(i % 1000) / 1000.0, 0.5});
    // Ends off the line above, on a point that differs from the last round's.
    d.moveAndWait(++round % 2 ? 100 : 200, 100, true);
  }
  state.SetItemsProcessed(state.iterations() * (batch + 1));
}
BENCHMARK(BM_InjectedMovesPerSecond)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_InjectedKeysPerSecond(benchmark::State& state) {
  auto& d = desktop();
  int round = 0;
  for (auto _ : state) {
    for (int i = 0; i < batch / 2; ++i) {
      d.injector->inject(InputEvent::Key{0, true, 0});
      d.injector->inject(InputEvent::Key{0, false, 0});
    }
    d.moveAndWait(++round % 2 ? 100 : 200, 100, true);
  }
  state.SetItemsProcessed(state.iterations() * (batch + 1));
}
BENCHMARK(BM_InjectedKeysPerSecond)->Unit(benchmark::kMillisecond)->UseRealTime();

// From inject(mouseMove) to the server reporting the new position (polled with XQueryPointer,
// one round trip each, so the figure includes up to one round trip of the observer).
void BM_MoveLatency(benchmark::State& state) {
  auto& d = desktop();
  std::vector<double> samples;
  int round = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    d.moveAndWait(300 + ++round % 2, 300, false);
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(elapsed.count());
    samples.push_back(elapsed.count() * 1e6);
  }
  std::sort(samples.begin(), samples.end());
  if (!samples.empty()) {
    state.counters["median_us"] = samples[samples.size() / 2];
    state.counters["p99_us"] = samples[samples.size() * 99 / 100];
  }
}
BENCHMARK(BM_MoveLatency)->Unit(benchmark::kMicrosecond)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
