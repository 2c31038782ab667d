#include "Ambrel_Host/capture/VirtualDisplay.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <string_view>
#include <thread>
#include <vector>

#include "Ambrel_Host/capture/CaptureError.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/base/UniqueFd.h"

extern char** environ;

namespace ambrel {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kFirstNumber = 20;
constexpr int kLastNumber = 999;
constexpr auto kStartTimeout = 10s;

spdlog::logger& log() {
  static auto& logger = corvel::Log::host("video");
  return logger;
}

bool numberLooksFree(int n) {
  std::error_code ec;
  return !std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(n), ec) &&
         !std::filesystem::exists("/tmp/.X" + std::to_string(n) + "-lock", ec);
}

void stopServer(pid_t pid) {
  ::kill(pid, SIGTERM);
  const auto deadline = Clock::now() + 3s;
  while (Clock::now() < deadline) {
    pid_t r = ::waitpid(pid, nullptr, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) return;
    std::this_thread::sleep_for(10ms);
  }
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// Starts Xvfb on display `n`; its pid once it wrote the number to -displayfd, -1 when it exited
// (the number was taken) or failed to come up, -2 when Xvfb can't be run at all.
pid_t spawnOn(int n, const VirtualDisplay::Options& options) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
  corvel::UniqueFd readEnd(fds[0]);
  corvel::UniqueFd writeEnd(fds[1]);
  // The child gets the write end as fd 3; keep ours away from 3 so the dup2 really copies it.
  if (writeEnd.get() == 3) writeEnd.reset(::fcntl(3, F_DUPFD_CLOEXEC, 10));

  const std::string display = ":" + std::to_string(n);
  const std::string screen = std::to_string(options.width) + "x" + std::to_string(options.height) +
                             "x" + std::to_string(options.depth);
  std::vector<std::string> args = {"Xvfb", display, "-screen", "0", screen, "+extension", "RANDR",
                                   "-nolisten", "tcp", "-noreset", "-displayfd", "3"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 3);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, "Xvfb", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  writeEnd.reset();
  if (rc != 0) {
    log().error("couldn't start Xvfb: {}", std::strerror(rc));
    return -2;
  }

  // Xvfb writes "<number>\n" once it listens; end of file means it gave up.
  std::string written;
  const auto deadline = Clock::now() + kStartTimeout;
  while (written.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left <= 0ms) break;
    pollfd p{readEnd.get(), POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buf[32];
    const ssize_t got = ::read(readEnd.get(), buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    written.append(buf, static_cast<std::size_t>(got));
  }
  if (written.find('\n') == std::string::npos) {
    stopServer(pid);
    return -1;
  }

  // Listening; wait until a client really gets through.
  while (Clock::now() < deadline) {
    xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
    const bool ok = xcb_connection_has_error(c) == 0;
    xcb_disconnect(c);
    if (ok) return pid;
    std::this_thread::sleep_for(20ms);
  }
  stopServer(pid);
  return -1;
}

}  // namespace

corvel::Expected<std::unique_ptr<VirtualDisplay>, std::error_code> VirtualDisplay::start(Options options) {
  int attempts = 0;
  for (int n = kFirstNumber; n <= kLastNumber && attempts < 20; ++n) {
    if (!numberLooksFree(n)) continue;
    ++attempts;
    const pid_t pid = spawnOn(n, options);
    if (pid == -2) break;
    if (pid > 0) {
      log().info("virtual display :{} started (Xvfb {}x{})", n, options.width, options.height);
      return std::unique_ptr<VirtualDisplay>(new VirtualDisplay(pid, n));
    }
  }
  log().error("no virtual display could be started");
  return corvel::Unexpected{make_error_code(CaptureErrc::virtualDisplayFailed)};
}

VirtualDisplay::VirtualDisplay(pid_t pid, int number)
    : pid_(pid), number_(number), name_(":" + std::to_string(number)) {}

VirtualDisplay::~VirtualDisplay() { stopServer(pid_); }

}  // namespace ambrel
