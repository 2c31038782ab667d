// CPU of a running host with 1, 5 and 20 browser viewers on one changing display, and what a
// viewer that stops reading does to the others.
//
// Starts a private Xvfb (1920×1080) with a window that redraws a moving block 60 times a second,
// and ambrel-host on it with browser access on. Viewers are plain WebSocket clients over TLS that
// read and count frames. Run inside a private network namespace (the host uses its fixed ports):
//
//   unshare -n bash -c 'ip link set lo up && build/bin/bench_browser_viewers [seconds]'
#include <X11/Xlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/HostProcess.h"
#include "tests/support/ProcessFigures.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/WebSocketTestClient.h"
#include "tests/support/XvfbServer.h"

namespace {

using corvel::test::cpuSeconds;

using namespace std::chrono_literals;
using corvel::test::WebSocketTestClient;

constexpr std::uint16_t kPort = 5896;

// A window over the whole screen with a block that moves and changes colour every frame.
class Animation {
 public:
  explicit Animation(const std::string& display) {
    thread_ = std::thread([this, display] { run(display); });
  }
  ~Animation() {
    stop_ = true;
    thread_.join();
  }

 private:
  void run(const std::string& name) {
    Display* display = XOpenDisplay(name.c_str());
    if (display == nullptr) return;
    const int screen = DefaultScreen(display);
    const int width = DisplayWidth(display, screen);
    const int height = DisplayHeight(display, screen);
    Window window = XCreateSimpleWindow(display, RootWindow(display, screen), 0, 0,
                                        static_cast<unsigned>(width), static_cast<unsigned>(height),
                                        0, 0, 0x202020);
    XMapWindow(display, window);
    GC gc = XCreateGC(display, window, 0, nullptr);
    for (unsigned long frame = 0; !stop_; ++frame) {
      const int x = static_cast<int>((frame * 17) % static_cast<unsigned long>(width - 400));
      const int y = static_cast<int>((frame * 7) % static_cast<unsigned long>(height - 300));
      XSetForeground(display, gc, 0x202020);
      XFillRectangle(display, window, gc, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height));
      XSetForeground(display, gc, (frame * 2654435761u) & 0xFFFFFF);
      XFillRectangle(display, window, gc, x, y, 400, 300);
      XSync(display, False);
      std::this_thread::sleep_for(16ms);
    }
    XFreeGC(display, gc);
    XCloseDisplay(display);
  }
  std::atomic<bool> stop_ = false;
  std::thread thread_;
};

// A viewer that reads and counts, or one that never reads.
class Viewer {
 public:
  Viewer(const std::string& code, bool reads) {
    client_ = WebSocketTestClient::connect(kPort, true, reads ? 0 : 4096);
    if (!client_) return;
    auto head = client_->upgrade("code=" + code);
    ok_ = head && head->starts_with("HTTP/1.1 101");
    if (ok_ && reads) thread_ = std::thread([this] { read(); });
  }
  ~Viewer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  bool ok() const { return ok_; }
  void reset() {
    frames = 0;
    bytes = 0;
  }
  std::atomic<long> frames = 0;
  std::atomic<long> bytes = 0;

 private:
  void read() {
    while (!stop_) {
      if (auto frame = client_->readFrame(200ms)) {
        ++frames;
        bytes += static_cast<long>(frame->payload.size());
      }
    }
  }
  std::unique_ptr<WebSocketTestClient> client_;
  bool ok_ = false;
  std::atomic<bool> stop_ = false;
  std::thread thread_;
};

struct Result {
  double hostCpuPercent = 0;
  double minFps = 0;
  double meanFps = 0;
  double meanKbps = 0;
};

Result measure(pid_t host, const std::string& code, int readers, int stalled, double seconds) {
  std::vector<std::unique_ptr<Viewer>> viewers;
  for (int i = 0; i < readers; ++i) viewers.push_back(std::make_unique<Viewer>(code, true));
  std::vector<std::unique_ptr<Viewer>> idle;
  for (int i = 0; i < stalled; ++i) idle.push_back(std::make_unique<Viewer>(code, false));
  for (auto& v : viewers) {
    if (!v->ok()) std::cerr << "a viewer was refused\n";
  }
  std::this_thread::sleep_for(3s);  // pipeline up, stalled viewers' buffers full
  for (auto& v : viewers) v->reset();
  const double cpuBefore = cpuSeconds(host);
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = cpuSeconds(host) - cpuBefore;
  Result r;
  r.hostCpuPercent = 100.0 * cpu / wall;
  r.minFps = 1e9;
  for (auto& v : viewers) {
    const double fps = static_cast<double>(v->frames) / wall;
    r.minFps = std::min(r.minFps, fps);
    r.meanFps += fps / readers;
    r.meanKbps += static_cast<double>(v->bytes) * 8 / 1000 / wall / readers;
  }
  viewers.clear();
  idle.clear();
  std::this_thread::sleep_for(2s);  // the last viewer gone, the pipeline stops
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  const std::string hostPath = std::filesystem::path(argv[0]).parent_path() / "ambrel-host";

  corvel::test::XvfbServer xvfb("1920x1080x24");
  if (!xvfb.isRunning()) {
    std::cerr << "no Xvfb: " << xvfb.errors();
    return 1;
  }
  Animation animation(xvfb.displayName());

  corvel::test::HostProcess hostProcess(
      hostPath, {.settings = R"({"browserAccess": true})",
                 .environment = {{"DISPLAY", xvfb.displayName()}, {"AMBREL_LOG_LEVEL", "warn"}},
                 .readyText = "Browser access: https://",
                 .timeout = 30s});
  auto& host = hostProcess.process();
  if (!hostProcess.isReady()) {
    std::cerr << "the host's browser server did not start:\n" << host.output() << host.errors();
    return 1;
  }
  const std::string code = hostProcess.accessCode();

  // Idle host for reference.
  const double idleBefore = cpuSeconds(host.pid());
  std::this_thread::sleep_for(3s);
  std::printf("host CPU with no viewer: %.1f %%\n", 100.0 * (cpuSeconds(host.pid()) - idleBefore) / 3.0);
  std::printf("%-28s %10s %12s %12s %12s\n", "viewers", "host CPU %", "mean fps", "min fps", "mean kbit/s");
  auto print = [](const char* label, const Result& r) {
    std::printf("%-28s %10.1f %12.1f %12.1f %12.0f\n", label, r.hostCpuPercent, r.meanFps, r.minFps, r.meanKbps);
  };
  print("1 reading", measure(host.pid(), code, 1, 0, seconds));
  print("5 reading", measure(host.pid(), code, 5, 0, seconds));
  print("20 reading", measure(host.pid(), code, 20, 0, seconds));
  print("5 reading + 1 stalled", measure(host.pid(), code, 5, 1, seconds));

  return hostProcess.stop() == 0 ? 0 : 1;
}
