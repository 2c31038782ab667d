// Change-to-picture latency: how long after something changes on the screen a viewer's decoded
// picture shows it, through the real `ambrel-host` on a private 1920×1080 Xvfb and a viewer in
// this process on loopback.
//
// A small square flips between black and white at random moments (an X client drawing it, as a
// program would). The viewer decodes every `video` message as it arrives and looks at the
// square's middle in the decoded picture. Each flip is split into where its time went, all on
// this machine's monotonic clock, which the host also stamps its frames with:
//
//   to capture    drawn → the host's capture read the screen (waiting for the next frame tick,
//                 then the read itself)
//   to viewer     captured → the `video` message reached the viewer: conversion, encoding,
//                 sealing, the socket, and opening it here (the capture-to-socket time plus the
//                 loopback hop)
//   decode        arrived → decoded
//   total         drawn → decoded picture shows it
//
// Two scenes: the square alone on a still screen, and the square over a full-screen page that
// scrolls 60 steps a second (every frame a large change to encode). p50, p95 and max of each.
//
//   bench_change_to_picture [--flips N]     (default 150 per scene; needs root for a private
//                                             network namespace, as the host uses fixed ports)

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CorvelKit/media/DecodedPicture.h"
#include "CorvelKit/media/VideoPacket.h"
#include "CorvelKit/media/VideoReceiver.h"
#include "CorvelKit/net/CorvelConnection.h"
#include "CorvelKit/protocol/Hello.h"
#include "CorvelKit/protocol/ProtocolConstants.h"
#include "CorvelKit/security/SecureIdentity.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/HostProcess.h"
#include "tests/support/ProcessFigures.h"
#include "tests/support/ScreenPainter.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/XvfbServer.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using corvel::protocol::MessageType;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
// The square: away from the page's edges, large enough to survive chroma subsampling and scaling.
constexpr int kMarkX = 96;
constexpr int kMarkY = 96;
constexpr int kMarkSize = 48;

std::filesystem::path binDir() { return std::filesystem::read_symlink("/proc/self/exe").parent_path(); }

std::int64_t micros(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}

struct Flip {
  std::int64_t drawn = 0;     // before the square was drawn
  std::int64_t captured = 0;  // the host's capture time of the first picture showing it
  std::int64_t arrived = 0;   // that picture's message reached the viewer
  std::int64_t decoded = 0;   // and was decoded
};

// A viewer in this process: says hello, decodes every picture and reports when the square's
// middle turns the colour it waits for.
class Viewer {
 public:
  Viewer(const std::string& code) : identity_("bench.change-to-picture") {
    receiver_.onPicture = [this](const corvel::media::DecodedPicture& picture) { looked(picture); };
    corvel::net::CorvelConnection::Handlers handlers;
    handlers.message = [this](MessageType type, corvel::Bytes& payload) {
      if (type != MessageType::video) return;
      arrived_ = micros(Clock::now());
      receiver_.receive(payload);
    };
    handlers.state = [this](const corvel::net::ConnectionState& state) {
      if (state.kind == corvel::net::ConnectionState::Kind::ready) {
        corvel::protocol::Hello hello;
        hello.deviceName = "latency viewer";
        hello.platform = corvel::protocol::ClientPlatform::iPad;
        hello.protocolVersion = static_cast<int>(corvel::protocol::corvelProtocolVersion);
        hello.supportsHEVC = true;  // as corvel offers it: the host decides
        connection_->sendJSON(MessageType::hello, hello);
      }
    };
    connection_ = corvel::net::CorvelConnection::client({"127.0.0.1", 5895}, code, std::move(handlers),
                                                        {.identity = &identity_});
    connection_->start();
  }
  ~Viewer() {
    connection_->cancel();
    connection_->detach();
  }

  // From now on, looks for the first decoded picture that shows the square white (or black).
  void expect(bool white, std::int64_t drawn) {
    std::lock_guard lock(mutex_);
    wanted_ = white;
    seen_.reset();
    drawn_ = drawn;
  }
  // That picture's times, or nothing after `timeout`.
  std::optional<Flip> wait(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [&] { return seen_.has_value(); })) {
      std::fprintf(stderr, "  missed: the square's middle still has luma %d (%ld pictures so far)\n", lastLuma_,
                   pictures_);
      return std::nullopt;
    }
    return seen_;
  }

  void ping() { connection_->send(MessageType::ping, {}); }

  // Waits for the first picture of any kind.
  bool waitForPicture(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return pictures_ > 0; });
  }

 private:
  void looked(const corvel::media::DecodedPicture& picture) {
    const auto now = micros(Clock::now());
    if (picture.layout == corvel::media::DecodedPicture::Layout::other) return;
    const int x = (kMarkX + kMarkSize / 2) * picture.width / kWidth;
    const int y = (kMarkY + kMarkSize / 2) * picture.height / kHeight;
    const int luma = picture.planes[0][static_cast<std::ptrdiff_t>(y) * picture.strides[0] + x];
    std::lock_guard lock(mutex_);
    ++pictures_;
    lastLuma_ = luma;
    if (wanted_ && !seen_ && (*wanted_ ? luma > 180 : luma < 60)) {
      seen_ = Flip{drawn_, static_cast<std::int64_t>(picture.timestampMicros), arrived_, now};
    }
    changed_.notify_all();
  }

  corvel::security::SecureIdentity identity_;
  corvel::media::VideoReceiver receiver_;
  std::shared_ptr<corvel::net::CorvelConnection> connection_;
  std::int64_t arrived_ = 0;  // only touched on the connection's thread
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<bool> wanted_;
  std::optional<Flip> seen_;
  std::int64_t drawn_ = 0;
  long pictures_ = 0;
  int lastLuma_ = 0;
};

struct Figures {
  double p50 = 0, p95 = 0, max = 0;
};

Figures figures(std::vector<double> v) {
  if (v.empty()) return {};
  std::sort(v.begin(), v.end());
  auto at = [&](double q) { return v[std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())))]; };
  return {at(0.5), at(0.95), v.back()};
}

void report(const char* scene, const std::vector<Flip>& flips, int missed) {
  std::vector<double> toCapture, toViewer, decode, total;
  for (const auto& f : flips) {
    toCapture.push_back(static_cast<double>(f.captured - f.drawn) / 1000.0);
    toViewer.push_back(static_cast<double>(f.arrived - f.captured) / 1000.0);
    decode.push_back(static_cast<double>(f.decoded - f.arrived) / 1000.0);
    total.push_back(static_cast<double>(f.decoded - f.drawn) / 1000.0);
  }
  std::printf("%s: %zu flips seen, %d missed, load %.2f\n", scene, flips.size(), missed,
              corvel::test::loadAverage());
  std::printf("  %-12s %8s %8s %8s\n", "ms", "p50", "p95", "max");
  for (auto [name, values] : {std::pair{"to capture", &toCapture}, std::pair{"to viewer", &toViewer},
                              std::pair{"decode", &decode}, std::pair{"total", &total}}) {
    const auto f = figures(*values);
    std::printf("  %-12s %8.1f %8.1f %8.1f\n", name, f.p50, f.p95, f.max);
  }
}

int run(int flipsPerScene) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (::unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up") != 0) {
    std::printf("skipped: the host's fixed ports need a private network namespace (run as root)\n");
    return 0;
  }
  corvel::test::XvfbServer xvfb(std::to_string(kWidth) + "x" + std::to_string(kHeight) + "x24");
  if (!xvfb.isRunning()) {
    std::fprintf(stderr, "Xvfb did not start: %s\n", xvfb.errors().c_str());
    return 1;
  }
  const std::string display = xvfb.displayName();
  corvel::test::HostProcess host((binDir() / "ambrel-host").string(), {.environment = {{"DISPLAY", display}}});
  if (!host.isReady()) {
    std::fprintf(stderr, "ambrel-host did not start: %s\n", host.process().errors().c_str());
    return 1;
  }
  corvel::test::ChildProcess setting((binDir() / "ambrel-host").string(), {"settings", "askBeforeConnecting", "false"},
                                     {{"AMBREL_HOME", host.home().string()}, {"DISPLAY", display}});
  if (setting.wait(10s) != 0) {
    std::fprintf(stderr, "ambrel-host settings failed: %s\n", setting.errors().c_str());
    return 1;
  }

  corvel::test::ScreenPainter marker(display);
  marker.fill(0, 0, kWidth, kHeight, 0x808080);
  marker.fill(kMarkX, kMarkY, kMarkSize, kMarkSize, 0x000000);
  Viewer viewer(host.accessCode());
  if (!viewer.waitForPicture(20s)) {
    std::fprintf(stderr, "the viewer got no picture\n");
    return 1;
  }
  std::printf("host at its defaults (60 frames/s), one viewer in this process on loopback\n");

  std::mt19937 random(7);
  bool anyMissed = false;
  auto measure = [&](const char* scene) {
    std::vector<Flip> flips;
    int missed = 0;
    bool white = false;
    // Let the stream settle on the current picture before the first flip.
    std::this_thread::sleep_for(1s);
    for (int i = 0; i < flipsPerScene; ++i) {
      // The host ends a viewer it has not heard from for a while.
      if (i % 20 == 0) viewer.ping();
      // Gaps that do not follow the capture's beat.
      std::this_thread::sleep_for(std::chrono::milliseconds(80 + random() % 120));
      white = !white;
      viewer.expect(white, micros(Clock::now()));
      marker.fill(kMarkX, kMarkY, kMarkSize, kMarkSize, white ? 0xFFFFFF : 0x000000);
      if (auto flip = viewer.wait(2s)) {
        flips.push_back(*flip);
      } else {
        ++missed;
      }
    }
    report(scene, flips, missed);
    anyMissed = anyMissed || missed > 0;
  };

  measure("still screen, the square alone");

  std::atomic<bool> scrolling{true};
  std::thread page([&] {
    corvel::test::ScreenPainter painter(display);
    int offset = 0;
    auto next = Clock::now();
    while (scrolling) {
      painter.scrolledPage(0, 0, kWidth, kHeight, offset);
      offset += 6;
      next += std::chrono::microseconds(16'667);
      std::this_thread::sleep_until(next);
    }
  });
  // The page's window lies under the square's windows drawn from here on.
  std::this_thread::sleep_for(300ms);
  measure("a full-screen page scrolling 60 steps a second under the square");
  scrolling = false;
  page.join();
  (void)host.stop();
  // What the host had to say about its viewer, when flips went missing.
  if (anyMissed) {
    std::printf("host warnings:\n");
    std::istringstream log(host.process().output() + host.process().errors());
    for (std::string line; std::getline(log, line);) {
      if (line.find("warn") != std::string::npos || line.find("error") != std::string::npos) {
        std::printf("  %s\n", line.c_str());
      }
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int flips = 150;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--flips" && i + 1 < argc) {
      flips = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: bench_change_to_picture [--flips N]\n");
      return 2;
    }
  }
  return run(flips);
}
