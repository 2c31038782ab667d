#include "Ambrel_Host/controller/ProcessLauncher.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "CorvelKit/base/Log.h"

extern char** environ;

namespace ambrel {

namespace {

auto& launchLog() { return corvel::Log::host("app"); }

class PosixProcessLauncher final : public ProcessLauncher {
 public:
  std::optional<int> run(const std::string& program,
                         const std::vector<std::string>& args) override {
    auto pid = spawn(program, args);
    if (!pid) return std::nullopt;
    return wait(*pid);
  }

  bool start(const std::string& program, const std::vector<std::string>& args) override {
    auto pid = spawn(program, args);
    if (!pid) return false;
    std::thread([pid = *pid] { wait(pid); }).detach();
    return true;
  }

 private:
  static std::optional<pid_t> spawn(const std::string& program,
                                    const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    ::posix_spawnattr_setsigmask(&attributes, &none);
    ::posix_spawnattr_setsigdefault(&attributes, &all);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    bool searchPath = program.find('/') == std::string::npos;
    int error = searchPath
                    ? ::posix_spawnp(&pid, program.c_str(), &actions, &attributes, argv.data(), environ)
                    : ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    ::posix_spawnattr_destroy(&attributes);
    ::posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
      launchLog().warn("couldn't start {}: {}", program, std::strerror(error));
      return std::nullopt;
    }
    return pid;
  }

  static int wait(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
      if (errno != EINTR) return 127;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 127;
  }
};

}  // namespace

std::shared_ptr<ProcessLauncher> ProcessLauncher::posix() {
  return std::make_shared<PosixProcessLauncher>();
}

}  // namespace ambrel
