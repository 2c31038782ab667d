// Our browser viewer page against noVNC, side by side in the same headless Chromium, on a private
// Xvfb of 1920×1080 and one of 1280×800 whose screen holds a page of text scrolling 4 rows a step,
// 60 steps a second:
//
//   A. the real `ambrel-host` with browser access on, its viewer page connected with the access
//      code;
//   B. x11vnc on the same display (no password, local only, shared, forever) with websockify in
//      front of it, and noVNC's vnc_lite.html connected through websockify.
//
// Both pages are counted the same way (page-frame-rate.mjs beside this file): on every animation
// frame a script in the page reads a strip of its canvas where the text passes and counts the
// frames in which it changed. The serving side's CPU is that of the host (A) against x11vnc plus
// websockify (B), with every process they started, as a share of one core, read from /proc
// between two moments after a warm-up; Chromium's (with its Node driver), the X server's and the
// rest of the machine's are shown beside it. Then the scrolling stops with the page still
// connected, and the serving side's CPU is read again: the still screen with one viewer.
//
// A and B alternate and repeat; the medians are compared. The host uses fixed ports, so the
// benchmark runs in a private network namespace when it may (root). A missing piece (Xvfb,
// Chromium, Node or Playwright, x11vnc, websockify, noVNC) makes it say "skipped: …" and exit 0.
//
//   bench_browser_vs_novnc [--seconds N] [--warmup N] [--still N] [--repeats N]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/HostProcess.h"
#include "tests/support/ProcessFigures.h"
#include "tests/support/ScreenPainter.h"
#include "tests/support/XvfbServer.h"

namespace {

using namespace std::chrono_literals;
using corvel::test::ChildProcess;
using corvel::test::loadAverage;
using corvel::test::machineBusySeconds;
using SteadyClock = std::chrono::steady_clock;

const std::filesystem::path kBin = std::filesystem::canonical("/proc/self/exe").parent_path();
const std::filesystem::path kPageScript = std::filesystem::path(CORVEL_SOURCE_DIR) / "bench/page-frame-rate.mjs";
// The folder whose node_modules holds Playwright (scripts/install-deps.sh fetches it).
const std::filesystem::path kPlaywrightFolder = std::filesystem::path(CORVEL_SOURCE_DIR) / "tests/browser_e2e";
const std::filesystem::path kNoVnc = "/usr/share/novnc";
constexpr int kVncPort = 5900;
constexpr int kWebSocketPort = 6080;

struct Options {
  int seconds = 10;
  int warmup = 3;
  int still = 20;
  int repeats = 3;
};

std::optional<int> number(std::string_view text) {
  int n = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return n;
}

// A program on PATH, or nothing.
std::optional<std::filesystem::path> onPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/bin:/bin";
  for (std::size_t start = 0; start <= folders.size();) {
    const auto end = std::min(folders.find(':', start), folders.size());
    const std::filesystem::path candidate = std::filesystem::path(folders.substr(start, end - start)) / name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// Figures from /proc.

// Every process's parent.
std::map<pid_t, pid_t> parents() {
  std::map<pid_t, pid_t> result;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const auto pid = number(entry.path().filename().string());
    if (!pid) continue;
    std::ifstream in(entry.path() / "stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos || close + 4 >= text.size()) continue;
    // After the name: the state, then the parent.
    const auto parent = std::strtol(text.c_str() + close + 4, nullptr, 10);
    result[*pid] = static_cast<pid_t>(parent);
  }
  return result;
}

// The CPU seconds of these processes and of everything they started.
double treeCpuSeconds(const std::vector<pid_t>& roots) {
  const auto parentOf = parents();
  double total = 0;
  for (const auto& [pid, parent] : parentOf) {
    for (pid_t p = pid; p > 1;) {
      if (std::find(roots.begin(), roots.end(), p) != roots.end()) {
        total += corvel::test::cpuSeconds(pid);
        break;
      }
      const auto up = parentOf.find(p);
      if (up == parentOf.end()) break;
      p = up->second;
    }
  }
  return total;
}

// Whether something accepts connections on a loopback port.
bool listening(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

bool waitUntilListening(int port, std::chrono::milliseconds timeout) {
  const auto deadline = SteadyClock::now() + timeout;
  while (SteadyClock::now() < deadline) {
    if (listening(port)) return true;
    std::this_thread::sleep_for(100ms);
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// The screen's content: a full-screen page of text scrolling 4 rows a step, 60 steps a second,
// until stop(); the last picture stays on the screen until this object goes.

class Scroller {
 public:
  Scroller(const std::string& display, int width, int height) : painter_(display), width_(width), height_(height) {
    painter_.scrolledPage(0, 0, width_, height_, 0);
    thread_ = std::thread([this] {
      auto next = SteadyClock::now();
      for (int offset = 4; !stop_; offset += 4) {
        painter_.scrolledPage(0, 0, width_, height_, offset);
        next += std::chrono::microseconds(16'667);
        std::this_thread::sleep_until(next);
        if (SteadyClock::now() > next + 100ms) next = SteadyClock::now();
      }
    });
  }
  ~Scroller() { stop(); }
  Scroller(const Scroller&) = delete;
  Scroller& operator=(const Scroller&) = delete;

  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  corvel::test::ScreenPainter painter_;
  int width_;
  int height_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// ---------------------------------------------------------------------------------------------
// One page in Chromium and what serves it.

// The page's last report: frames painted, animation frames, its clock in milliseconds, and the
// WebSockets it opened so far.
struct PageCount {
  double painted = 0;
  double frames = 0;
  double atMs = 0;
  int sockets = 0;
};

PageCount lastCount(const std::string& output) {
  PageCount c;
  // The last complete line of the form "painted=N frames=F at=MS sockets=S".
  const auto end = output.rfind('\n');
  if (end == std::string::npos) return c;
  const auto at = output.rfind("painted=", end);
  if (at == std::string::npos) return c;
  const std::string line = output.substr(at, end - at);
  if (std::sscanf(line.c_str(), "painted=%lf frames=%lf at=%lf sockets=%d", &c.painted, &c.frames, &c.atMs,
                  &c.sockets) != 4)
    return {};
  return c;
}

// Everything measured at one moment.
struct Snapshot {
  SteadyClock::time_point when;
  double serving = 0;  // the host, or x11vnc and websockify
  double browser = 0;  // Chromium and its Node driver
  double xServer = 0;
  double machine = 0;
  PageCount page;
};

struct Span {
  double seconds = 0;
  double fps = 0;
  double animationFps = 0;
  double servingPercent = 0;
  double browserPercent = 0;
  double xPercent = 0;
  double othersPercent = 0;
  int sockets = 0;  // the WebSockets the page had opened by the end
};

Span between(const Snapshot& a, const Snapshot& b) {
  Span s;
  s.seconds = std::chrono::duration<double>(b.when - a.when).count();
  s.sockets = b.page.sockets;
  const double pageSeconds = (b.page.atMs - a.page.atMs) / 1000;
  if (pageSeconds > 0) {
    s.fps = (b.page.painted - a.page.painted) / pageSeconds;
    s.animationFps = (b.page.frames - a.page.frames) / pageSeconds;
  }
  if (s.seconds > 0) {
    const double serving = b.serving - a.serving, browser = b.browser - a.browser, x = b.xServer - a.xServer;
    s.servingPercent = serving / s.seconds * 100;
    s.browserPercent = browser / s.seconds * 100;
    s.xPercent = x / s.seconds * 100;
    s.othersPercent = std::max(0.0, (b.machine - a.machine) - serving - browser - x) / s.seconds * 100;
  }
  return s;
}

enum class Viewer { ours, noVnc };

const char* label(Viewer v) { return v == Viewer::ours ? "ambrel" : "noVNC"; }

struct Sample {
  bool ok = false;
  std::string note;
  Span scrolling;
  Span still;
  double load = 0;
};

// One run: the server side for `viewer` on `display`, its page in Chromium, the screen scrolling
// and then still.
Sample session(Viewer viewer, const std::string& display, pid_t xServer, int width, int height, const Options& o) {
  Sample sample;
  Scroller scroller(display, width, height);

  std::unique_ptr<corvel::test::HostProcess> host;
  std::unique_ptr<ChildProcess> vnc, proxy;
  std::vector<pid_t> serving;
  std::string url, code;
  if (viewer == Viewer::ours) {
    host = std::make_unique<corvel::test::HostProcess>(
        (kBin / "ambrel-host").string(),
        corvel::test::HostProcess::Options{.settings = R"({"askBeforeConnecting": false, "browserAccess": true})",
                                           .environment = {{"DISPLAY", display}},
                                           .readyText = "browser server ready",
                                           .timeout = 30s});
    if (!host->isReady()) {
      sample.note = "the host did not start: " + host->process().errors().substr(0, 400);
      return sample;
    }
    serving = {host->process().pid()};
    url = "https://127.0.0.1:5896/";
    code = host->accessCode();
  } else {
    vnc = std::make_unique<ChildProcess>(onPath("x11vnc").value_or("x11vnc").string(),
                                         std::vector<std::string>{"-display", display, "-rfbport",
                                                                  std::to_string(kVncPort), "-localhost", "-nopw",
                                                                  "-shared", "-forever"});
    if (!vnc->waitForText("PORT=" + std::to_string(kVncPort), 30s)) {
      sample.note = "x11vnc did not start: " + vnc->errors().substr(0, 400);
      return sample;
    }
    proxy = std::make_unique<ChildProcess>(onPath("websockify").value_or("websockify").string(),
                                           std::vector<std::string>{"--web", kNoVnc.string(),
                                                                    "127.0.0.1:" + std::to_string(kWebSocketPort),
                                                                    "127.0.0.1:" + std::to_string(kVncPort)});
    if (!waitUntilListening(kWebSocketPort, 20s)) {
      sample.note = "websockify did not start: " + proxy->errors().substr(0, 400);
      return sample;
    }
    serving = {vnc->pid(), proxy->pid()};
    url = "http://127.0.0.1:" + std::to_string(kWebSocketPort) +
          "/vnc_lite.html?host=127.0.0.1&port=" + std::to_string(kWebSocketPort) + "&path=websockify";
  }

  ChildProcess page(CORVEL_NODE,
                    {kPageScript.string(), "--modules", kPlaywrightFolder.string(), "--kind",
                     viewer == Viewer::ours ? "ambrel" : "novnc", "--url", url, "--code", code, "--width",
                     std::to_string(width), "--height", std::to_string(height), "--chromium", CORVEL_CHROMIUM},
                    {}, true);
  if (!page.waitForText("connected ", 90s)) {
    sample.note = "the page did not connect: " + page.output().substr(0, 400) + page.errors().substr(0, 400);
    return sample;
  }
  const auto snapshot = [&] {
    Snapshot s;
    s.when = SteadyClock::now();
    s.serving = treeCpuSeconds(serving);
    s.browser = treeCpuSeconds({page.pid()});
    s.xServer = xServer > 0 ? corvel::test::cpuSeconds(xServer) : 0;
    s.machine = machineBusySeconds();
    s.page = lastCount(page.output());
    return s;
  };

  std::this_thread::sleep_for(std::chrono::seconds(o.warmup));
  const Snapshot s0 = snapshot();
  std::this_thread::sleep_for(std::chrono::seconds(o.seconds));
  const Snapshot s1 = snapshot();
  scroller.stop();
  std::this_thread::sleep_for(3s);  // the last picture reaches the page and everything settles
  const Snapshot s2 = snapshot();
  std::this_thread::sleep_for(std::chrono::seconds(o.still));
  const Snapshot s3 = snapshot();
  sample.load = loadAverage();
  sample.scrolling = between(s0, s1);
  sample.still = between(s2, s3);
  sample.ok = s1.page.atMs > s0.page.atMs && s3.page.atMs > s2.page.atMs;
  if (!sample.ok) sample.note = "the page stopped reporting: " + page.output().substr(0, 400);

  page.closeInput();
  if (!page.wait(30s)) page.signal(SIGKILL);
  if (host) (void)host->stop(15s);
  for (auto* p : {proxy.get(), vnc.get()}) {
    if (p == nullptr) continue;
    p->signal(SIGTERM);
    if (!p->wait(10s)) p->signal(SIGKILL);
  }
  return sample;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const auto n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void printHeader() {
  std::printf("%-10s %-7s %8s %8s %8s %10s %10s %8s %9s | %10s %8s %6s\n", "size", "page", "fps", "rAF/s", "sockets",
              "serving %", "browser %", "X %", "others %", "still %", "still fps", "load");
}

void printSample(const std::string& size, Viewer viewer, const Sample& s) {
  if (!s.ok) {
    std::printf("%-10s %-7s failed: %s\n", size.c_str(), label(viewer), s.note.c_str());
    return;
  }
  std::printf("%-10s %-7s %8.1f %8.1f %8d %10.1f %10.1f %8.1f %9.1f | %10.2f %8.1f %6.2f\n", size.c_str(),
              label(viewer), s.scrolling.fps, s.scrolling.animationFps, s.scrolling.sockets,
              s.scrolling.servingPercent, s.scrolling.browserPercent,
              s.scrolling.xPercent, s.scrolling.othersPercent, s.still.servingPercent, s.still.fps, s.load);
  std::fflush(stdout);
}

// a / b, or "n/a" when b is nothing (a still screen can cost less than one clock tick).
std::string ratio(double a, double b) {
  if (b <= 0) return "n/a";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", a / b);
  return text;
}

int drive(const Options& o) {
  // What the comparison needs; without any of it there is nothing to compare.
  std::vector<std::pair<std::string, bool>> pieces{
      {"Xvfb", std::filesystem::exists("/usr/bin/Xvfb")},
      {"Node (" CORVEL_NODE ")", std::filesystem::exists(CORVEL_NODE)},
      {"Chromium (" CORVEL_CHROMIUM ")", std::filesystem::exists(CORVEL_CHROMIUM)},
      {"Playwright (tests/browser_e2e/node_modules)",
       std::filesystem::exists(kPlaywrightFolder / "node_modules/playwright-core")},
      {"ambrel-host", std::filesystem::exists(kBin / "ambrel-host")},
      {"x11vnc", onPath("x11vnc").has_value()},
      {"websockify", onPath("websockify").has_value()},
      {"noVNC (" + (kNoVnc / "vnc_lite.html").string() + ")", std::filesystem::exists(kNoVnc / "vnc_lite.html")},
  };
  for (const auto& [what, present] : pieces) {
    if (!present) {
      std::printf("skipped: %s is missing (scripts/install-deps.sh installs it)\n", what.c_str());
      return 0;
    }
  }

  const bool privateNetwork = ::unshare(CLONE_NEWNET) == 0 && std::system("ip link set lo up") == 0;
  std::printf("our viewer page against noVNC 1.3 + websockify + x11vnc, in headless Chromium; %d s scrolling and "
              "%d s still after %d s of warm-up, %d repeats\n",
              o.seconds, o.still, o.warmup, o.repeats);
  if (!privateNetwork)
    std::printf("(no private network namespace: the fixed ports 5896, %d and %d are shared with the machine)\n",
                kVncPort, kWebSocketPort);
  std::printf("fps: frames the page painted a second while the text scrolls at 60 steps a second; rAF/s: the page's "
              "animation frames; sockets: the WebSockets the page opened by the end of the scrolling (more than one: "
              "it started afresh); serving %%: the host (ambrel) or x11vnc + websockify (noVNC); browser %%: Chromium "
              "and its driver; X %%: the Xvfb; others %%: the rest of the machine; all as a share of one core; still "
              "%%: serving CPU with the page connected and the screen still\n\n");
  printHeader();

  struct Result {
    std::string size;
    std::map<Viewer, std::vector<Sample>> samples;
  };
  std::vector<Result> results;
  for (const auto& [width, height] : std::vector<std::pair<int, int>>{{1920, 1080}, {1280, 800}}) {
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    corvel::test::XvfbServer x(size + "x24");
    if (!x.isRunning()) {
      std::printf("skipped: Xvfb did not start: %s\n", x.errors().c_str());
      return 0;
    }
    const pid_t xServer = corvel::test::xServerPid(x.displayName());
    Result result{size, {}};
    for (int r = 0; r < o.repeats; ++r) {
      // Alternating which goes first, so a trend in the machine's load falls on both.
      const auto order =
          r % 2 == 0 ? std::vector{Viewer::ours, Viewer::noVnc} : std::vector{Viewer::noVnc, Viewer::ours};
      for (const Viewer v : order) {
        const Sample s = session(v, x.displayName(), xServer, width, height, o);
        printSample(size, v, s);
        if (s.ok) result.samples[v].push_back(s);
      }
    }
    results.push_back(std::move(result));
  }

  std::printf("\nmedians (ambrel / noVNC):\n");
  for (const auto& result : results) {
    const auto field = [&](Viewer v, auto get) {
      std::vector<double> values;
      const auto found = result.samples.find(v);
      if (found != result.samples.end())
        for (const auto& s : found->second) values.push_back(get(s));
      return median(values);
    };
    const auto fps = [](const Sample& s) { return s.scrolling.fps; };
    const auto cpu = [](const Sample& s) { return s.scrolling.servingPercent; };
    const auto browser = [](const Sample& s) { return s.scrolling.browserPercent; };
    const auto still = [](const Sample& s) { return s.still.servingPercent; };
    const double fpsA = field(Viewer::ours, fps), fpsB = field(Viewer::noVnc, fps);
    const double cpuA = field(Viewer::ours, cpu), cpuB = field(Viewer::noVnc, cpu);
    const double browserA = field(Viewer::ours, browser), browserB = field(Viewer::noVnc, browser);
    const double stillA = field(Viewer::ours, still), stillB = field(Viewer::noVnc, still);
    std::printf("  %-10s frame rate %.1f / %.1f fps = %s (aim >= 2)   serving CPU %.1f / %.1f %% = %s (aim <= 1)\n",
                result.size.c_str(), fpsA, fpsB, ratio(fpsA, fpsB).c_str(), cpuA, cpuB, ratio(cpuA, cpuB).c_str());
    std::printf("  %-10s still screen serving CPU %.2f / %.2f %% = %s (aim <= 1)   browser CPU %.1f / %.1f %% = %s\n",
                "", stillA, stillB, ratio(stillA, stillB).c_str(), browserA, browserB,
                ratio(browserA, browserB).c_str());
  }
  std::printf("\nload average at the end: %.2f\n", loadAverage());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  Options o;
  for (std::size_t i = 0; i < args.size(); i += 2) {
    const auto value = i + 1 < args.size() ? number(args[i + 1]) : std::nullopt;
    const auto& key = args[i];
    if (key == "--seconds" && value && *value > 0) {
      o.seconds = *value;
    } else if (key == "--warmup" && value && *value >= 0) {
      o.warmup = *value;
    } else if (key == "--still" && value && *value > 0) {
      o.still = *value;
    } else if (key == "--repeats" && value && *value > 0) {
      o.repeats = *value;
    } else {
      std::fprintf(stderr, "usage: bench_browser_vs_novnc [--seconds N] [--warmup N] [--still N] [--repeats N]\n");
      return 64;
    }
  }
  return drive(o);
}
