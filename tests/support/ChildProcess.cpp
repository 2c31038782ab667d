#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

extern char** environ;

namespace corvel::test {

namespace {
std::thread reader(int fd, std::string& sink, std::mutex& mutex) {
  return std::thread([fd, &sink, &mutex] {
    char buf[4096];
    for (;;) {
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      std::lock_guard lock(mutex);
      sink.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
  });
}
}  // namespace

ChildProcess::ChildProcess(std::string program, std::vector<std::string> args,
                           std::map<std::string, std::string> extraEnvironment, bool keepInputOpen) {
  int outPipe[2], errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  int inPipe[2] = {-1, -1};
  if (keepInputOpen) {
    if (::pipe2(inPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }

  std::map<std::string, std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    auto eq = entry.find('=');
    if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (auto& [k, v] : extraEnvironment) env[k] = v;
  std::vector<std::string> envStrings;
  for (auto& [k, v] : env) envStrings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);

  args.insert(args.begin(), program);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  if (keepInputOpen) {
    ::close(inPipe[0]);
    input_ = inPipe[1];
  }
  if (rc != 0) {
    closeInput();
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    throw std::runtime_error("couldn't start " + program + ": " + std::strerror(rc));
  }
  outReader_ = reader(outPipe[0], out_, mutex_);
  errReader_ = reader(errPipe[0], err_, mutex_);
}

ChildProcess::~ChildProcess() {
  closeInput();
  if (!status_) {
    ::kill(pid_, SIGKILL);
    reap(true);
  }
  if (outReader_.joinable()) outReader_.join();
  if (errReader_.joinable()) errReader_.join();
}

std::string ChildProcess::output() const {
  std::lock_guard lock(mutex_);
  return out_;
}

std::string ChildProcess::errors() const {
  std::lock_guard lock(mutex_);
  return err_;
}

bool ChildProcess::waitForText(const std::string& text, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    {
      std::lock_guard lock(mutex_);
      if (out_.find(text) != std::string::npos || err_.find(text) != std::string::npos) return true;
    }
    reap(false);
    if (status_) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

void ChildProcess::signal(int sig) {
  if (!status_) ::kill(pid_, sig);
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!status_ && std::chrono::steady_clock::now() < deadline) {
    reap(false);
    if (!status_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (status_) {
    if (outReader_.joinable()) outReader_.join();
    if (errReader_.joinable()) errReader_.join();
  }
  return status_;
}

void ChildProcess::reap(bool block) {
  if (status_) return;
  int st = 0;
  pid_t r = ::waitpid(pid_, &st, block ? 0 : WNOHANG);
  if (r == pid_) status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

void ChildProcess::closeInput() {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

}  // namespace corvel::test
