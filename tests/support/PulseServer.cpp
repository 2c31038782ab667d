#include "tests/support/PulseServer.h"

#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include "tests/support/ChildProcess.h"

namespace corvel::test {

using namespace std::chrono_literals;

namespace {
// Whether something accepts connections on the Unix socket at `path`.
bool answers(const std::filesystem::path& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  ::close(fd);
  return ok;
}
}  // namespace

PulseServer::PulseServer() {
  const auto run = folder_.path() / "run";
  const auto home = folder_.path() / "home";
  std::filesystem::create_directories(run);
  std::filesystem::create_directories(home);
  socket_ = run / "native";
  config_ = folder_.path() / "server.pa";
  std::ofstream(config_) << "load-module module-null-sink sink_name=" << sinkName
                         << " rate=48000 channels=2\n"
                         << "set-default-sink " << sinkName << "\n"
                         << "load-module module-native-protocol-unix auth-anonymous=1 socket="
                         << socket_.string() << "\n";
  if (::geteuid() == 0) {
    const passwd* pw = ::getpwnam("nobody");
    if (pw == nullptr) {
      errors_ = "no user 'nobody' to run the sound server as";
      return;
    }
    user_ = std::to_string(pw->pw_uid) + ":" + std::to_string(pw->pw_gid);
    std::filesystem::permissions(folder_.path(), std::filesystem::perms::owner_all |
                                                     std::filesystem::perms::group_exec |
                                                     std::filesystem::perms::others_exec);
    for (const auto& p : {run, home, config_}) {
      if (::chown(p.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
        errors_ = "cannot hand the sound server's folder to nobody";
        return;
      }
    }
  }
  start();
}

PulseServer::~PulseServer() { stop(); }

bool PulseServer::start() {
  if (server_) return true;
  std::vector<std::string> args{"--daemonize=no", "--exit-idle-time=-1", "-n",
                                "-F", config_.string(), "--use-pid-file=no",
                                "--disable-shm=yes", "--log-target=stderr"};
  std::string program = "/usr/bin/pulseaudio";
  if (!user_.empty()) {
    const auto colon = user_.find(':');
    std::vector<std::string> prefix{"--reuid=" + user_.substr(0, colon), "--regid=" + user_.substr(colon + 1),
                                    "--clear-groups", "--", program};
    args.insert(args.begin(), prefix.begin(), prefix.end());
    program = "/usr/bin/setpriv";
  }
  server_ = std::make_unique<ChildProcess>(
      program, args,
      std::map<std::string, std::string>{{"HOME", (folder_.path() / "home").string()},
                                         {"XDG_RUNTIME_DIR", (folder_.path() / "run").string()}});
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!answers(socket_)) {
    if (std::chrono::steady_clock::now() > deadline || server_->wait(0ms)) {
      errors_ = "pulseaudio did not start: " + server_->errors();
      server_.reset();
      return false;
    }
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

void PulseServer::stop() {
  if (!server_) return;
  server_->signal(SIGTERM);
  if (!server_->wait(10s)) {
    server_->signal(SIGKILL);
    (void)server_->wait(10s);
  }
  server_.reset();
  std::error_code ignored;
  std::filesystem::remove(socket_, ignored);
}

}  // namespace corvel::test
