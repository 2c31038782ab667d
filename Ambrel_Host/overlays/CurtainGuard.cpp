#include "Ambrel_Host/overlays/CurtainGuard.h"

#include <csignal>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Ambrel_Host/overlays/GammaCurtain.h"
#include "CorvelKit/base/Log.h"

extern char** environ;

namespace ambrel {

namespace {
auto& log() { return corvel::Log::host("overlays"); }
}  // namespace

CurtainGuard::CurtainGuard(const std::filesystem::path& program, const std::filesystem::path& stateFile) {
  int fds[2];
  // Close-on-exec, so no other program the host starts holds the pipe open after the host died.
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    log().warn("no curtain guard: no pipe");
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[0], STDIN_FILENO);
  std::string programText = program.string();
  std::string argumentText = argument;
  std::string stateText = stateFile.string();
  std::vector<char*> argv = {programText.data(), argumentText.data(), stateText.data(), nullptr};
  pid_t pid = -1;
  const int error = ::posix_spawn(&pid, programText.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[0]);
  if (error != 0) {
    ::close(fds[1]);
    log().warn("no curtain guard: couldn't start {} ({})", programText, error);
    return;
  }
  pid_ = pid;
  pipe_ = fds[1];
}

CurtainGuard::~CurtainGuard() {
  if (pipe_ >= 0) ::close(pipe_);
  if (pid_ > 0) {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

int CurtainGuard::run(const std::filesystem::path& stateFile) {
  // The terminal's Ctrl-C and hang-up are for the host; the guard has to see it through.
  std::signal(SIGINT, SIG_IGN);
  std::signal(SIGHUP, SIG_IGN);
  char buffer[64];
  while (true) {
    const auto n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0 && errno != EINTR) break;
  }
  if (GammaCurtain::restore(stateFile)) log().warn("the host went with the curtain on; the screens are back");
  return 0;
}

}  // namespace ambrel
