#include "tests/support/HeadlessMutter.h"

#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include <systemd/sd-bus.h>

#include "tests/support/ChildProcess.h"

namespace corvel::test {

using namespace std::chrono_literals;

namespace {

bool hasOwner(sd_bus* bus, const char* name) {
  sd_bus_error error{};
  sd_bus_message* reply = nullptr;
  int owned = 0;
  if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
                         &error, &reply, "s", name) >= 0) {
    (void)sd_bus_message_read(reply, "b", &owned);
  }
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  return owned != 0;
}

void end(std::unique_ptr<ChildProcess>& process) {
  if (!process) return;
  process->signal(SIGTERM);
  if (!process->wait(10s)) {
    process->signal(SIGKILL);
    (void)process->wait(10s);
  }
  process.reset();
}

}  // namespace

bool HeadlessMutter::available() {
  return ::access("/usr/bin/mutter", X_OK) == 0 && ::access("/usr/bin/pipewire", X_OK) == 0 &&
         ::access("/usr/bin/wireplumber", X_OK) == 0 && ::access("/usr/bin/dbus-daemon", X_OK) == 0;
}

HeadlessMutter::HeadlessMutter(std::vector<std::string> monitors) {
  const auto run = folder_.path() / "run";
  const auto home = folder_.path() / "home";
  std::filesystem::create_directories(run);
  std::filesystem::create_directories(home);
  std::filesystem::permissions(run, std::filesystem::perms::owner_all);
  const auto socket = folder_.path() / "bus";
  busAddress_ = "unix:path=" + socket.string();
  const auto config = folder_.path() / "bus.conf";
  std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                           "<busconfig>\n  <type>session</type>\n  <listen>"
                        << busAddress_
                        << "</listen>\n  <auth>EXTERNAL</auth>\n"
                           "  <policy context=\"default\">\n    <allow user=\"*\"/>\n"
                           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n    <allow eavesdrop=\"true\"/>\n"
                           "    <allow own=\"*\"/>\n  </policy>\n</busconfig>\n";
  if (::geteuid() == 0) {
    const passwd* pw = ::getpwnam("nobody");
    if (pw == nullptr) {
      errors_ = "no user 'nobody' to run mutter as";
      return;
    }
    user_ = std::to_string(pw->pw_uid) + ":" + std::to_string(pw->pw_gid);
    std::filesystem::permissions(folder_.path(), std::filesystem::perms::owner_all | std::filesystem::perms::group_exec |
                                                     std::filesystem::perms::others_exec);
    for (const auto& p : {folder_.path(), run, home, config}) {
      if (::chown(p.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
        errors_ = "cannot hand mutter's folder to nobody";
        return;
      }
    }
  }
  bus_ = start("/usr/bin/dbus-daemon", {"--config-file=" + config.string(), "--nofork", "--nopidfile"});
  for (int i = 0; i < 200 && !std::filesystem::exists(socket); ++i) std::this_thread::sleep_for(20ms);
  pipewire_ = start("/usr/bin/pipewire", {});
  for (int i = 0; i < 200 && !std::filesystem::exists(run / "pipewire-0"); ++i) std::this_thread::sleep_for(20ms);
  wireplumber_ = start("/usr/bin/wireplumber", {});
  std::vector<std::string> args{"--headless", "--wayland", "--no-x11"};
  for (const auto& size : monitors) {
    args.push_back("--virtual-monitor");
    args.push_back(size);
  }
  mutter_ = start("/usr/bin/mutter", args);
  running_ = waitForMutter();
  if (!running_) errors_ += "mutter did not come up: " + mutter_->errors();
}

HeadlessMutter::~HeadlessMutter() {
  end(mutter_);
  end(wireplumber_);
  end(pipewire_);
  end(bus_);
}

std::unique_ptr<ChildProcess> HeadlessMutter::start(const std::string& program, std::vector<std::string> args) {
  std::string command = program;
  if (!user_.empty()) {
    const auto colon = user_.find(':');
    std::vector<std::string> prefix{"--reuid=" + user_.substr(0, colon), "--regid=" + user_.substr(colon + 1),
                                    "--clear-groups", "--", program};
    args.insert(args.begin(), prefix.begin(), prefix.end());
    command = "/usr/bin/setpriv";
  }
  auto env = environment();
  env["HOME"] = (folder_.path() / "home").string();
  env["XDG_CONFIG_HOME"] = (folder_.path() / "home" / ".config").string();
  env["XDG_STATE_HOME"] = (folder_.path() / "home" / ".state").string();
  env["XDG_DATA_HOME"] = (folder_.path() / "home" / ".data").string();
  env.erase("WAYLAND_DISPLAY");  // mutter makes it
  return std::make_unique<ChildProcess>(command, std::move(args), std::move(env));
}

bool HeadlessMutter::waitForMutter() {
  sd_bus* bus = nullptr;
  int r = sd_bus_new(&bus);
  if (r >= 0) r = sd_bus_set_address(bus, busAddress_.c_str());
  if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
  if (r >= 0) r = sd_bus_start(bus);
  bool up = false;
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (r >= 0 && !up && std::chrono::steady_clock::now() < deadline && !mutter_->wait(0ms)) {
    up = hasOwner(bus, "org.gnome.Mutter.RemoteDesktop") && hasOwner(bus, "org.gnome.Mutter.ScreenCast") &&
         std::filesystem::exists(folder_.path() / "run" / "wayland-0");
    if (!up) std::this_thread::sleep_for(50ms);
  }
  sd_bus_flush_close_unref(bus);
  return up;
}

std::map<std::string, std::string> HeadlessMutter::environment() const {
  return {{"XDG_RUNTIME_DIR", (folder_.path() / "run").string()},
          {"DBUS_SESSION_BUS_ADDRESS", busAddress_},
          {"WAYLAND_DISPLAY", "wayland-0"},
          {"XDG_SESSION_TYPE", "wayland"},
          {"DISPLAY", ""}};
}

}  // namespace corvel::test
