#include "tests/support/XorgDummyServer.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/ChildProcess.h"

namespace corvel::test {

using namespace std::chrono_literals;

namespace {

constexpr const char* kConfig = R"(Section "Device"
  Identifier "dummy"
  Driver "dummy"
  VideoRam 256000
EndSection
Section "Monitor"
  Identifier "monitor"
  HorizSync 5.0-1000.0
  VertRefresh 5.0-200.0
EndSection
Section "Screen"
  Identifier "screen"
  Device "dummy"
  Monitor "monitor"
  DefaultDepth 24
  SubSection "Display"
    Depth 24
    Virtual 8192 4096
  EndSubSection
EndSection
Section "ServerFlags"
  Option "AutoAddDevices" "false"
  Option "AutoEnableDevices" "false"
  Option "DontVTSwitch" "true"
EndSection
)";

std::string modeName(const XorgDummyServer::Monitor& m) {
  return std::to_string(m.width) + "x" + std::to_string(m.height);
}

}  // namespace

XorgDummyServer::XorgDummyServer() {
  const auto config = folder_.path() / "dummy.conf";
  std::ofstream(config) << kConfig;
  constexpr int first = 300, count = 100;
  const int offset = static_cast<int>(::getpid()) % count;
  for (int attempt = 0; attempt < 10 && displayName_.empty(); ++attempt) {
    const auto n = std::to_string(first + (offset + attempt) % count);
    if (std::filesystem::exists("/tmp/.X" + n + "-lock") ||
        std::filesystem::exists("/tmp/.X11-unix/X" + n)) {
      continue;
    }
    process_ = std::make_unique<ChildProcess>(
        "/usr/bin/Xorg",
        std::vector<std::string>{":" + n, "-displayfd", "1", "-config", config.string(), "-logfile",
                                 (folder_.path() / ("Xorg." + n + ".log")).string(), "-nolisten",
                                 "tcp", "-noreset", "-novtswitch", "-sharevts"});
    // The log goes to standard error, so wait for the number itself.
    if (process_->waitForText(n + "\n", 30s) && process_->output().starts_with(n + "\n")) {
      displayName_ = ":" + n;
    } else {
      process_->signal(SIGKILL);
      (void)process_->wait(5s);
    }
  }
}

XorgDummyServer::~XorgDummyServer() {
  if (!process_) return;
  process_->signal(SIGTERM);
  if (!process_->wait(10s)) {
    process_->signal(SIGKILL);
    (void)process_->wait(10s);
  }
}

std::string XorgDummyServer::errors() const {
  std::string text = process_ ? process_->errors() : std::string();
  for (auto& entry : std::filesystem::directory_iterator(folder_.path())) {
    if (entry.path().extension() != ".log") continue;
    std::ifstream in(entry.path());
    std::stringstream log;
    log << in.rdbuf();
    text += log.str();
  }
  return text;
}

std::string XorgDummyServer::xrandr(std::vector<std::string> args) {
  ChildProcess run("/usr/bin/xrandr", std::move(args), {{"DISPLAY", displayName_}});
  auto status = run.wait(20s);
  if (status && *status == 0) return {};
  return "xrandr failed: " + run.errors() + run.output();
}

std::string XorgDummyServer::arrange(const std::vector<Monitor>& monitors) {
  if (!isRunning()) return "no server";
  int width = 0, height = 0;
  for (auto& m : monitors) {
    width = std::max(width, m.x + m.width);
    height = std::max(height, m.y + m.height);
  }
  // Outputs other than DUMMY0 start without modes; the dummy driver's list has the usual ones.
  for (std::size_t i = 1; i < monitors.size(); ++i) {
    (void)xrandr({"--addmode", "DUMMY" + std::to_string(i), modeName(monitors[i])});
  }
  std::vector<std::string> args{"--fb", std::to_string(width) + "x" + std::to_string(height)};
  for (std::size_t i = 0; i < 16; ++i) {
    args.push_back("--output");
    args.push_back("DUMMY" + std::to_string(i));
    if (i >= monitors.size()) {
      args.push_back("--off");
      continue;
    }
    const auto& m = monitors[i];
    for (std::string a : {std::string("--mode"), modeName(m), std::string("--pos"),
                          std::to_string(m.x) + "x" + std::to_string(m.y)}) {
      args.push_back(a);
    }
    if (i == 0) args.push_back("--primary");
  }
  return xrandr(std::move(args));
}

}  // namespace corvel::test
