// The host's video path against ffmpeg's x11grab, side by side on one private 1920×1080 Xvfb:
//
//   1. capture + encode on a picture that never stops changing (drawn faster than it is
//      captured): frames per second and CPU time per frame of the host's pipeline (X11 capturer
//      → NV12 → libx264 → a socket) and of
//      `ffmpeg -f x11grab … -c:v libx264 -preset P -tune zerolatency -f null -` with the same
//      preset, size, frame rate and rate control (libx264 reports identical settings for both);
//   2. a real `ambrel-host` at its defaults with one viewer (`corvel view --headless`) on a
//      still screen, then while the picture changes, and the same ffmpeg command on the still
//      screen: CPU as a share of one core; then the moving picture through ffmpeg with preset
//      ultrafast, the cheapest encode there is, against what the viewer got from the host;
//   3. capture-to-socket time of every frame of (1), and of a run with small changes: median and
//      99th percentile.
//
// CPU is read from /proc/PID/stat between two moments after a warm-up, so start-up is not
// counted; runs alternate and repeat, and the medians are compared. How busy the machine was
// shows in the "others" column (CPU time of everything but the measured process and the X
// server, as a share of one core) and the load average.
//
//   bench_stream_vs_ffmpeg [--seconds N] [--warmup N] [--repeats N] [--preset P] [--fps N]
//                          [--draw-fps N] [--bitrate BPS]
//
// The same program is also the picture changer (--animate DISPLAY FPS [small]) and the measured
// host path (--pipeline DISPLAY PRESET FPS BITRATE WARMUP), which it starts as child processes.
// The real host needs a private network namespace for its fixed ports: the driver makes one when
// it may (root), else it leaves that part out.

#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Ambrel_Host/capture/DisplaySource.h"
#include "Ambrel_Host/capture/ScreenCapturer.h"
#include "Ambrel_Host/capture/VideoPipeline.h"
#include "Ambrel_Host/capture/VideoTarget.h"
#include "CorvelKit/media/AvcodecVideoEncoder.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/HostProcess.h"
#include "tests/support/ProcessFigures.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/XvfbServer.h"

namespace {

using corvel::test::cpuSeconds;
using corvel::test::loadAverage;
using corvel::test::machineBusySeconds;

using namespace std::chrono_literals;
using corvel::test::ChildProcess;
using SteadyClock = std::chrono::steady_clock;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
// The host's "balanced" preset: 1920 pixels stay unscaled.
constexpr int kMaxWidth = 2304;

volatile std::sig_atomic_t stopRequested = 0;
void requestStop(int) { stopRequested = 1; }

std::filesystem::path binDir() { return std::filesystem::read_symlink("/proc/self/exe").parent_path(); }

std::optional<int> number(std::string_view text) {
  int n = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return n;
}

// ---------------------------------------------------------------------------------------------
// The picture changer: a tall picture of coloured "text" scrolled through the screen a few lines
// a frame, with a block of changing colour moving across it (or only the block, on a page that
// stays put: "small" changes). Everything is drawn by the server
// (CopyArea from a pixmap), so this process costs next to nothing itself.

int animate(const std::string& display, int fps, bool scroll) {
  xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
  if (xcb_connection_has_error(c) != 0) return 1;
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  const xcb_window_t root = screen->root;
  const xcb_pixmap_t page = xcb_generate_id(c);
  xcb_create_pixmap(c, screen->root_depth, page, root, kWidth, 2 * kHeight);
  const xcb_gcontext_t gc = xcb_generate_id(c);
  std::uint32_t colour = 0;
  xcb_create_gc(c, gc, root, XCB_GC_FOREGROUND, &colour);

  constexpr int strip = 16;
  std::vector<std::uint32_t> pixels(static_cast<std::size_t>(kWidth) * strip);
  std::uint32_t seed = 12345;
  auto random = [&seed] { return seed = seed * 1664525u + 1013904223u; };
  std::vector<std::uint8_t> ink(static_cast<std::size_t>(kWidth / 8) * (2 * kHeight / 16));
  for (auto& glyph : ink) glyph = static_cast<std::uint8_t>(random() >> 24);
  for (int y0 = 0; y0 < 2 * kHeight; y0 += strip) {
    for (int dy = 0; dy < strip; ++dy) {
      const int y = y0 + dy;
      for (int x = 0; x < kWidth; ++x) {
        // A soft background gradient, and 8×16 cells holding a glyph-like pattern of bits.
        std::uint32_t p = 0xFF000000u | (static_cast<std::uint32_t>(200 + (x >> 5) % 56) << 16) |
                          (static_cast<std::uint32_t>(210 + (y >> 6) % 46) << 8) | 230u;
        const std::uint8_t glyph = ink[static_cast<std::size_t>(y / 16) * (kWidth / 8) + x / 8];
        const bool inLine = (y % 16) >= 3 && (y % 16) <= 12 && glyph > 60 && (x / 8) % 12 != 0;
        if (inLine && ((glyph >> ((x + y) % 8)) & 1) != 0) p = 0xFF000000u | (glyph & 0x3F) * 0x010101u;
        pixels[static_cast<std::size_t>(dy) * kWidth + static_cast<std::size_t>(x)] = p;
      }
    }
    xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, page, gc, kWidth, strip, 0, static_cast<std::int16_t>(y0), 0,
                  screen->root_depth, static_cast<std::uint32_t>(pixels.size() * 4),
                  reinterpret_cast<const std::uint8_t*>(pixels.data()));
  }
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  std::printf("animating\n");
  std::fflush(stdout);

  const auto interval = std::chrono::duration_cast<SteadyClock::duration>(1s) / std::max(1, fps);
  auto next = SteadyClock::now();
  auto lastReport = next;
  for (int frame = 0; stopRequested == 0; ++frame) {
    if (SteadyClock::now() - lastReport >= 100ms) {
      lastReport = SteadyClock::now();
      std::printf("drawn=%d\n", frame);
      std::fflush(stdout);
    }
    const int offset = scroll ? (frame * 4) % kHeight : 0;
    if (scroll || frame == 0)
      xcb_copy_area(c, page, root, gc, 0, static_cast<std::int16_t>(offset), 0, 0, kWidth, kHeight);
    colour = static_cast<std::uint32_t>(frame * 0x030507) & 0xFFFFFF;
    xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
    const xcb_rectangle_t block{static_cast<std::int16_t>((frame * 11) % (kWidth - 240)),
                                static_cast<std::int16_t>(200 + (frame * 5) % (kHeight - 400)), 240, 160};
    xcb_poly_fill_rectangle(c, root, gc, 1, &block);
    // Waits for the server, so drawing never runs ahead of it.
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    if (xcb_connection_has_error(c) != 0) return 1;
    next += interval;
    std::this_thread::sleep_until(next);
    if (SteadyClock::now() > next + interval) next = SteadyClock::now();
  }
  xcb_free_pixmap(c, page);
  xcb_disconnect(c);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// The host's path: the real capturer, encoder and pipeline, with one viewer whose packets are
// written to a Unix socket (read and thrown away by another thread). Prints "frame=N" every
// 100 ms, like ffmpeg's -progress, and at the end the capture-to-socket times after the warm-up.

class SocketViewer final : public ambrel::VideoTarget {
 public:
  explicit SocketViewer(SteadyClock::time_point measureFrom) : measureFrom_(measureFrom) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_) != 0) std::abort();
    reader_ = std::thread([fd = fds_[1]] {
      std::vector<char> buffer(1 << 20);
      while (::read(fd, buffer.data(), buffer.size()) > 0) {
      }
    });
  }
  ~SocketViewer() override {
    ::shutdown(fds_[0], SHUT_RDWR);
    reader_.join();
    ::close(fds_[0]);
    ::close(fds_[1]);
  }

  void withVideoFlow(const std::function<void(ambrel::VideoFlow&)>& change) override {
    std::lock_guard lock(mutex_);
    change(flow_);
  }

  // The pipeline reports each packet here just before it offers it to the targets.
  void packetEncoded(std::uint64_t timestampMicros) { timestamp_ = timestampMicros; }

  void sendVideo(corvel::ByteView wire, std::function<void()> sent) override {
    const std::uint8_t* p = wire.data();
    std::size_t left = wire.size();
    while (left > 0) {
      const ssize_t n = ::write(fds_[0], p, left);
      if (n <= 0) break;
      p += n;
      left -= static_cast<std::size_t>(n);
    }
    const auto now = SteadyClock::now();
    ++frames_;
    bytes_ += static_cast<std::int64_t>(wire.size());
    if (now >= measureFrom_) {
      const auto nowMicros = std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
      std::lock_guard lock(mutex_);
      if (latencies_.size() < 1'000'000) latencies_.push_back(nowMicros - static_cast<std::int64_t>(timestamp_));
    }
    sent();
  }

  std::int64_t frames() const { return frames_; }
  std::int64_t bytes() const { return bytes_; }
  std::vector<std::int64_t> latencies() {
    std::lock_guard lock(mutex_);
    return latencies_;
  }

 private:
  const SteadyClock::time_point measureFrom_;
  int fds_[2] = {-1, -1};
  std::thread reader_;
  std::atomic<std::uint64_t> timestamp_{0};
  std::atomic<std::int64_t> frames_{0};
  std::atomic<std::int64_t> bytes_{0};
  std::mutex mutex_;
  ambrel::VideoFlow flow_{.isViewer = true, .inFlight = 0, .needsKeyframe = true};
  std::vector<std::int64_t> latencies_;
};

int runPipeline(const std::string& display, const std::string& preset, int fps, int bitrate, int warmup) {
  auto source = ambrel::DisplaySource::create(display);
  if (!source) return 1;
  auto displays = (*source)->displays();
  if (!displays || displays->empty()) return 1;

  auto viewer = std::make_shared<SocketViewer>(SteadyClock::now() + std::chrono::seconds(warmup));
  auto encoder = std::make_unique<corvel::media::AvcodecVideoEncoder>(
      bitrate, fps, corvel::media::AvcodecVideoEncoder::Options{.x264Preset = preset});
  auto pipeline = ambrel::VideoPipeline::create(ambrel::ScreenCapturer::create(display), std::move(encoder), bitrate);
  pipeline->setOnEncoded([viewer](const corvel::media::VideoPacket& packet, const corvel::Bytes&) {
    viewer->packetEncoded(packet.timestampMicros);
  });
  // As the host's display streams start a pipeline.
  pipeline->setBitrate(bitrate, fps);
  pipeline->setTargets({viewer});
  if (auto error = pipeline->start(displays->front().id, kMaxWidth, fps, false)) {
    std::fprintf(stderr, "capture did not start: %s\n", error.message().c_str());
    return 1;
  }
  while (stopRequested == 0) {
    std::printf("frame=%lld bytes=%lld\n", static_cast<long long>(viewer->frames()),
                static_cast<long long>(viewer->bytes()));
    std::fflush(stdout);
    std::this_thread::sleep_for(100ms);
  }
  pipeline->stop();
  auto latencies = viewer->latencies();
  std::sort(latencies.begin(), latencies.end());
  auto at = [&](double q) {
    return latencies.empty() ? 0 : latencies[static_cast<std::size_t>(q * static_cast<double>(latencies.size() - 1))];
  };
  std::printf("latency n=%zu p50=%lld p99=%lld max=%lld\n", latencies.size(), static_cast<long long>(at(0.5)),
              static_cast<long long>(at(0.99)), static_cast<long long>(latencies.empty() ? 0 : latencies.back()));
  std::fflush(stdout);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// The driver.

struct Options {
  int seconds = 10;
  int warmup = 3;
  int repeats = 3;
  std::string preset = "superfast";
  int fps = 60;
  int bitrate = 12'000'000;
  // Pictures drawn a second: faster than capture, so that every capture finds a new one.
  int drawFps = 120;
};

// The last "frame=N" a process printed (ffmpeg's -progress, or the pipeline's own lines), or
// another counter of that form.
std::int64_t lastCount(const std::string& output, const std::string& key = "frame=") {
  const auto at = output.rfind(key);
  if (at == std::string::npos) return 0;
  return std::strtoll(output.c_str() + at + key.size(), nullptr, 10);
}

// The display under test: its server, and the picture changer while one runs.
struct Scene {
  std::string display;
  pid_t server = 0;
  std::unique_ptr<ChildProcess> animator;

  std::int64_t drawn() const { return animator ? lastCount(animator->output(), "drawn=") : 0; }
};

struct Sample {
  std::string what;
  double drawnPerSecond = 0;  // pictures the changer drew
  double fps = 0;
  double kbitPerSecond = -1;  // what was sent, where known
  double cpuPerFrameMs = 0;
  double corePercent = 0;
  double serverPercent = 0;
  double othersPercent = 0;  // the rest of the machine, as a share of one core
  double load = 0;
  std::string note;
};

// Measures `pid` for `seconds` after `warmup`; `frames` reads its frame count at a moment.
Sample measure(const std::string& what, pid_t pid, const Scene& scene, const Options& o,
               const std::function<std::int64_t()>& frames, const std::function<std::int64_t()>& bytes = {}) {
  const pid_t server = scene.server;
  std::this_thread::sleep_for(std::chrono::seconds(o.warmup));
  const auto t0 = SteadyClock::now();
  const double cpu0 = cpuSeconds(pid), x0 = cpuSeconds(server);
  const double busy0 = machineBusySeconds();
  const std::int64_t f0 = frames(), d0 = scene.drawn(), b0 = bytes ? bytes() : 0;
  std::this_thread::sleep_for(std::chrono::seconds(o.seconds));
  const std::int64_t f1 = frames(), d1 = scene.drawn(), b1 = bytes ? bytes() : 0;
  const double cpu1 = cpuSeconds(pid), x1 = cpuSeconds(server);
  const double busy1 = machineBusySeconds();
  const double wall = std::chrono::duration<double>(SteadyClock::now() - t0).count();

  Sample s;
  s.what = what;
  const double n = static_cast<double>(f1 - f0);
  s.fps = n / wall;
  s.drawnPerSecond = static_cast<double>(d1 - d0) / wall;
  if (bytes) s.kbitPerSecond = static_cast<double>(b1 - b0) * 8 / 1000 / wall;
  s.cpuPerFrameMs = n > 0 ? (cpu1 - cpu0) * 1000 / n : 0;
  s.corePercent = (cpu1 - cpu0) / wall * 100;
  s.serverPercent = (x1 - x0) / wall * 100;
  // Machine busy time in core-seconds, minus what the measured process and the X server used.
  const double machineBusy = busy1 - busy0;
  s.othersPercent = std::max(0.0, machineBusy - (cpu1 - cpu0) - (x1 - x0)) / wall * 100;
  s.load = loadAverage();
  return s;
}

std::vector<std::string> ffmpegArgs(const std::string& display, const Options& o) {
  const std::string rate = std::to_string(o.bitrate);
  const std::string ceiling = std::to_string(2LL * o.bitrate);
  // The host's libx264 settings: NV12 in, High profile, no B-frames, a keyframe every ten
  // seconds and none on scene cuts, average bit rate with a ceiling of twice it and a
  // one-second buffer; the frame rate and the size of the capture.
  return {"-hide_banner", "-nostdin", "-loglevel", "error", "-progress", "pipe:1", "-stats_period", "0.1",
          "-f", "x11grab", "-framerate", std::to_string(o.fps), "-video_size",
          std::to_string(kWidth) + "x" + std::to_string(kHeight), "-i", display,
          "-c:v", "libx264", "-preset", o.preset, "-tune", "zerolatency", "-profile:v", "high",
          "-pix_fmt", "nv12", "-b:v", rate, "-maxrate", ceiling, "-bufsize", rate,
          "-g", std::to_string(o.fps * 10), "-bf", "0", "-x264-params", "scenecut=0",
          "-fps_mode", "passthrough", "-f", "null", "-"};
}

std::optional<Sample> runFfmpeg(const std::string& what, const Scene& scene, const Options& o) {
  ChildProcess ffmpeg("/usr/bin/ffmpeg", ffmpegArgs(scene.display, o));
  if (!ffmpeg.waitForText("frame=", 20s)) {
    std::fprintf(stderr, "ffmpeg did not start: %s\n", ffmpeg.errors().c_str());
    return std::nullopt;
  }
  auto s = measure(what, ffmpeg.pid(), scene, o, [&] { return lastCount(ffmpeg.output()); });
  ffmpeg.signal(SIGINT);
  if (!ffmpeg.wait(10s)) ffmpeg.signal(SIGKILL);
  return s;
}

struct Latency {
  long long n = 0, p50 = 0, p99 = 0, max = 0;
};

std::optional<Sample> runHostPath(const Scene& scene, const Options& o, std::vector<Latency>& latencies) {
  ChildProcess host((binDir() / "bench_stream_vs_ffmpeg").string(),
                    {"--pipeline", scene.display, o.preset, std::to_string(o.fps), std::to_string(o.bitrate),
                     std::to_string(o.warmup)},
                    {{"AMBREL_LOG_LEVEL", "warn"}});
  if (!host.waitForText("frame=", 20s)) {
    std::fprintf(stderr, "the host's pipeline did not start: %s\n", host.errors().c_str());
    return std::nullopt;
  }
  // The warm-up starts when it prints, as it does for ffmpeg.
  auto s = measure(
      "host pipeline", host.pid(), scene, o, [&] { return lastCount(host.output()); },
      [&] { return lastCount(host.output(), "bytes="); });
  host.signal(SIGTERM);
  if (!host.wait(20s)) host.signal(SIGKILL);
  std::smatch m;
  const std::string out = host.output();
  if (std::regex_search(out, m, std::regex("latency n=(\\d+) p50=(\\d+) p99=(\\d+) max=(\\d+)"))) {
    latencies.push_back({std::stoll(m[1]), std::stoll(m[2]), std::stoll(m[3]), std::stoll(m[4])});
  }
  return s;
}

// A real host on the display with one headless viewer, measured on a still screen and then
// while `animate` changes the picture (when given).
std::vector<Sample> runRealHost(Scene& scene, const Options& o,
                                const std::function<std::unique_ptr<ChildProcess>()>& animate) {
  const std::string& display = scene.display;
  std::vector<Sample> samples;
  corvel::test::TemporaryFolder viewerHome;
  corvel::test::HostProcess hostProcess((binDir() / "ambrel-host").string(),
                                        {.environment = {{"DISPLAY", display}}});
  ChildProcess& host = hostProcess.process();
  if (!hostProcess.isReady()) {
    std::fprintf(stderr, "ambrel-host did not start: %s\n", host.errors().c_str());
    return samples;
  }
  const std::filesystem::path& hostHome = hostProcess.home();
  // No approval step; everything else as a person gets it (the viewer offers HEVC, and the host
  // takes it only where an encoder holds the frame rate).
  for (auto [key, value] : {std::pair{"askBeforeConnecting", "false"}}) {
    ChildProcess setting((binDir() / "ambrel-host").string(), {"settings", key, value},
                         {{"AMBREL_HOME", hostHome.string()}, {"DISPLAY", display}});
    if (setting.wait(10s) != 0) {
      std::fprintf(stderr, "ambrel-host settings %s %s failed: %s\n", key, value, setting.errors().c_str());
      return samples;
    }
  }
  ChildProcess viewer((binDir() / "corvel").string(), {"view", "127.0.0.1", "--code", hostProcess.accessCode(), "--headless"},
                      {{"AMBREL_HOME", viewerHome.path().string()}});
  if (!viewer.waitForText("size ", 20s)) {
    std::fprintf(stderr, "the viewer got no picture: %s%s\n", viewer.output().c_str(), viewer.errors().c_str());
    return samples;
  }
  // The viewer prints "N frames/s" once a second: frames seen = the sum of those lines.
  // and "K kbit/s" with it: bytes seen = the sum of those, × 125.
  auto viewerSum = [&](int group) {
    std::int64_t total = 0;
    const std::string text = viewer.output();
    static const std::regex line("(\\d+) frames/s, (\\d+) kbit/s");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), line); it != std::sregex_iterator(); ++it)
      total += std::stoll((*it)[group]);
    return group == 2 ? total * 125 : total;
  };
  auto viewed = [&] { return viewerSum(1); };
  auto viewedBytes = [&] { return viewerSum(2); };
  Options still = o;
  still.seconds = std::max(o.seconds, 20);  // a small share needs a longer look
  auto s = measure("ambrel-host, still, 1 viewer", host.pid(), scene, still, viewed, viewedBytes);
  s.cpuPerFrameMs = 0;
  samples.push_back(s);
  if ((scene.animator = animate())) {
    samples.push_back(measure("ambrel-host, moving, 1 viewer", host.pid(), scene, o, viewed, viewedBytes));
    scene.animator.reset();
  }
  viewer.signal(SIGINT);
  if (!viewer.wait(10s)) viewer.signal(SIGKILL);
  (void)hostProcess.stop();
  return samples;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

void printRow(const Sample& s) {
  const std::string kbit = s.kbitPerSecond < 0 ? "-" : std::to_string(static_cast<long>(s.kbitPerSecond));
  std::printf("  %-30s %8.1f %7.1f %8s %10.2f %9.1f %7.1f %8.1f %5.2f  %s\n", s.what.c_str(), s.drawnPerSecond, s.fps,
              kbit.c_str(), s.cpuPerFrameMs,
              s.corePercent, s.serverPercent, s.othersPercent, s.load, s.note.c_str());
}

void printHeader() {
  std::printf("  %-30s %8s %7s %8s %10s %9s %7s %8s %5s\n", "", "drawn/s", "fps", "kbit/s", "CPU ms/fr", "CPU %core",
              "Xvfb %",
              "others %", "load");
}

int drive(const Options& o) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // rows show as they are measured, also through a pipe
  // The real host listens on fixed ports: give it, and everything here, a network of our own.
  bool privateNetwork = ::unshare(CLONE_NEWNET) == 0 && std::system("ip link set lo up") == 0;

  corvel::test::XvfbServer xvfb(std::to_string(kWidth) + "x" + std::to_string(kHeight) + "x24");
  if (!xvfb.isRunning()) {
    std::fprintf(stderr, "Xvfb did not start: %s\n", xvfb.errors().c_str());
    return 1;
  }
  Scene scene;
  scene.display = xvfb.displayName();
  scene.server = corvel::test::xServerPid(scene.display);
  const std::string& display = scene.display;
  const std::string self = (binDir() / "bench_stream_vs_ffmpeg").string();
  auto startAnimator = [&](int drawFps, bool small) -> std::unique_ptr<ChildProcess> {
    std::vector<std::string> args{"--animate", display, std::to_string(drawFps)};
    if (small) args.emplace_back("small");
    auto animator = std::make_unique<ChildProcess>(self, args);
    if (!animator->waitForText("animating", 30s)) {
      std::fprintf(stderr, "the picture changer did not start: %s\n", animator->errors().c_str());
      return nullptr;
    }
    return animator;
  };

  std::printf("Video path against ffmpeg x11grab on %s (%dx%d), libx264 preset %s, tune zerolatency, "
              "%d fps, %d kbit/s average; %u CPUs, load %.2f at the start\n",
              display.c_str(), kWidth, kHeight, o.preset.c_str(), o.fps, o.bitrate / 1000,
              std::thread::hardware_concurrency(), loadAverage());
  std::printf("Each figure: %d s after a %d s warm-up; CPU from /proc/PID/stat; the picture changer draws %d "
              "pictures a second.\n\n",
              o.seconds, o.warmup, o.drawFps);

  // 1 and 3: a picture that never stops changing.
  std::vector<Sample> host, ffmpeg;
  std::vector<Latency> latencies;
  {
    scene.animator = startAnimator(o.drawFps, false);
    if (!scene.animator) return 1;
    std::printf("1. Capture + encode, picture always changing\n");
    printHeader();
    for (int r = 0; r < o.repeats; ++r) {
      // Alternating which goes first, so that a drift in the machine's load hits both.
      for (int k = 0; k < 2; ++k) {
        if ((k == 0) == (r % 2 == 0)) {
          if (auto s = runHostPath(scene, o, latencies)) {
            printRow(*s);
            host.push_back(*s);
          }
        } else if (auto s = runFfmpeg("ffmpeg x11grab", scene, o)) {
          printRow(*s);
          ffmpeg.push_back(*s);
        }
      }
    }
    scene.animator.reset();
  }

  auto medianOf = [](const std::vector<Sample>& v, double Sample::*field) {
    std::vector<double> xs;
    for (auto& s : v) xs.push_back(s.*field);
    return median(xs);
  };
  const double hostFps = medianOf(host, &Sample::fps), ffFps = medianOf(ffmpeg, &Sample::fps);
  const double hostCpu = medianOf(host, &Sample::cpuPerFrameMs), ffCpu = medianOf(ffmpeg, &Sample::cpuPerFrameMs);
  std::printf("  median: host %.1f fps at %.2f ms CPU a frame, ffmpeg %.1f fps at %.2f ms CPU a frame\n",
              hostFps, hostCpu, ffFps, ffCpu);
  if (ffFps > 0 && ffCpu > 0) {
    std::printf("  host/ffmpeg: %.2f× the frame rate (aim ≥ 0.95), %.2f× the CPU a frame (aim ≤ 1.10)\n\n",
                hostFps / ffFps, hostCpu / ffCpu);
  }

  // 2: a still screen.
  std::this_thread::sleep_for(1s);
  std::printf("2. Still screen\n");
  printHeader();
  std::vector<Sample> real;
  if (privateNetwork) {
    real = runRealHost(scene, o, [&] { return startAnimator(o.drawFps, false); });
    for (auto& s : real) printRow(s);
  } else {
    std::printf("  (ambrel-host left out: no private network namespace for its fixed ports; run as root)\n");
  }
  if (auto s = runFfmpeg("ffmpeg x11grab, still", scene, o)) printRow(*s);
  if (!real.empty()) {
    std::printf("  host on a still screen: %.2f %% of one core (aim < 2 %%)\n", real.front().corePercent);
  }
  // What a viewer gets from a host at its defaults, against the cheapest ffmpeg encode of the
  // same picture.
  if (real.size() > 1) {
    Options ultrafast = o;
    ultrafast.preset = "ultrafast";
    scene.animator = startAnimator(o.drawFps, false);
    if (scene.animator) {
      if (auto f = runFfmpeg("ffmpeg x11grab, ultrafast", scene, ultrafast)) {
        printRow(*f);
        const Sample& moving = real[1];
        if (f->fps > 0 && f->cpuPerFrameMs > 0) {
          std::printf("  ambrel-host at its defaults with a viewer / ffmpeg ultrafast: %.2f× the frame rate "
                      "(aim ≥ 0.98), %.2f× the CPU a frame (aim ≤ 0.7)\n",
                      moving.fps / f->fps, moving.cpuPerFrameMs / f->cpuPerFrameMs);
        }
        std::printf("  frames a viewer gets at the defaults: %.1f a second (aim ≥ 58)\n", moving.fps);
      }
      scene.animator.reset();
    }
  }

  // 3.
  std::printf("\n3. Capture to socket, host pipeline, picture always changing (µs)\n");
  for (auto& l : latencies) std::printf("  %lld frames: median %lld, 99th percentile %lld, max %lld\n", l.n, l.p50, l.p99, l.max);
  if (!latencies.empty()) {
    std::vector<double> p50, p99;
    for (auto& l : latencies) {
      p50.push_back(static_cast<double>(l.p50));
      p99.push_back(static_cast<double>(l.p99));
    }
    std::printf("  median of runs: median %.0f µs, 99th percentile %.0f µs\n", median(p50), median(p99));
  }

  // The same with a small change 30 times a second: a block moving over a page that stays.
  std::printf("\n   small changes (a 240×160 block moving, 30 a second)\n");
  printHeader();
  std::vector<Latency> small;
  scene.animator = startAnimator(30, true);
  if (scene.animator) {
    if (auto s = runHostPath(scene, o, small)) printRow(*s);
    scene.animator.reset();
  }
  for (auto& l : small) std::printf("  %lld frames: median %lld, 99th percentile %lld, max %lld\n", l.n, l.p50, l.p99, l.max);

  std::printf("\nload average at the end: %.2f\n", loadAverage());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGTERM, requestStop);
  std::signal(SIGINT, requestStop);
  std::vector<std::string> args(argv + 1, argv + argc);
  if ((args.size() == 3 || args.size() == 4) && args[0] == "--animate")
    return animate(args[1], number(args[2]).value_or(60), args.size() == 3 || args[3] != "small");
  if (args.size() == 6 && args[0] == "--pipeline") {
    return runPipeline(args[1], args[2], number(args[3]).value_or(60), number(args[4]).value_or(12'000'000),
                       number(args[5]).value_or(3));
  }
  Options o;
  for (std::size_t i = 0; i + 1 < args.size(); i += 2) {
    const auto& key = args[i];
    const auto value = number(args[i + 1]);
    if (key == "--preset") {
      o.preset = args[i + 1];
    } else if (key == "--seconds" && value && *value > 0) {
      o.seconds = *value;
    } else if (key == "--warmup" && value && *value >= 0) {
      o.warmup = *value;
    } else if (key == "--repeats" && value && *value > 0) {
      o.repeats = *value;
    } else if (key == "--fps" && value && *value > 0) {
      o.fps = *value;
    } else if (key == "--draw-fps" && value && *value > 0) {
      o.drawFps = *value;
    } else if (key == "--bitrate" && value && *value > 0) {
      o.bitrate = *value;
    } else {
      std::fprintf(stderr, "usage: bench_stream_vs_ffmpeg [--seconds N] [--warmup N] [--repeats N] "
                           "[--preset P] [--fps N] [--draw-fps N] [--bitrate BPS]\n");
      return 64;
    }
  }
  if (args.size() % 2 != 0) return 64;
  return drive(o);
}
