#include "tests/support/SwayServer.h"

#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "tests/support/ChildProcess.h"

namespace corvel::test {

using namespace std::chrono_literals;

SwayServer::SwayServer() {
  runtime_ = folder_.path() / "run";
  const auto home = folder_.path() / "home";
  const auto config = folder_.path() / "config";
  std::filesystem::create_directories(runtime_);
  std::filesystem::create_directories(home);
  std::filesystem::permissions(runtime_, std::filesystem::perms::owner_all);
  std::ofstream(config) << "output HEADLESS-1 resolution 1920x1080 position 0 0\n"
                        << "default_border none\n"
                        << "focus_follows_mouse no\n";
  std::vector<std::string> args{"-c", config.string()};
  std::string program = "/usr/bin/sway";
  if (::geteuid() == 0) {
    const passwd* pw = ::getpwnam("nobody");
    if (pw == nullptr) {
      errors_ = "no user 'nobody' to run sway as";
      return;
    }
    std::filesystem::permissions(folder_.path(), std::filesystem::perms::owner_all |
                                                     std::filesystem::perms::group_exec |
                                                     std::filesystem::perms::others_exec);
    for (const auto& p : {runtime_, home, config}) {
      if (::chown(p.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
        errors_ = "cannot hand sway's folder to nobody";
        return;
      }
    }
    args.insert(args.begin(), {"--reuid=" + std::to_string(pw->pw_uid), "--regid=" + std::to_string(pw->pw_gid),
                               "--clear-groups", "--", program});
    program = "/usr/bin/setpriv";
  }
  server_ = std::make_unique<ChildProcess>(program, args,
                                           std::map<std::string, std::string>{{"HOME", home.string()},
                                                                              {"XDG_RUNTIME_DIR", runtime_.string()},
                                                                              {"WLR_BACKENDS", "headless"},
                                                                              {"WLR_LIBINPUT_NO_DEVICES", "1"},
                                                                              {"WLR_RENDERER", "pixman"}});
  // Ready once its IPC socket is there: the Wayland socket comes first, the outputs before both.
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  for (;;) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(runtime_, ec)) {
      const auto name = entry.path().filename().string();
      if (name.starts_with("wayland-") && !name.ends_with(".lock")) socket_ = entry.path();
    }
    if (!socket_.empty() && message({"-t", "get_version"})) return;
    if (std::chrono::steady_clock::now() > deadline || server_->wait(0ms)) {
      errors_ = "sway did not start: " + server_->errors();
      server_.reset();
      return;
    }
    std::this_thread::sleep_for(50ms);
  }
}

SwayServer::~SwayServer() {
  if (!server_) return;
  server_->signal(SIGTERM);
  if (!server_->wait(10s)) {
    server_->signal(SIGKILL);
    (void)server_->wait(10s);
  }
}

std::string SwayServer::errors() const { return server_ ? server_->errors() : errors_; }

std::map<std::string, std::string> SwayServer::clientEnvironment() const {
  return {{"WAYLAND_DISPLAY", socket_.string()}, {"XDG_RUNTIME_DIR", runtime_.string()}};
}

std::optional<std::string> SwayServer::message(const std::vector<std::string>& args) const {
  std::error_code ec;
  std::filesystem::path ipc;
  for (const auto& entry : std::filesystem::directory_iterator(runtime_, ec)) {
    if (entry.path().filename().string().starts_with("sway-ipc.")) ipc = entry.path();
  }
  if (ipc.empty()) return std::nullopt;
  std::vector<std::string> full{"-s", ipc.string()};
  full.insert(full.end(), args.begin(), args.end());
  ChildProcess swaymsg("/usr/bin/swaymsg", full);
  if (swaymsg.wait(10s) != 0) return std::nullopt;
  return swaymsg.output();
}

}  // namespace corvel::test
