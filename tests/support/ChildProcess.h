#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace corvel::test {

// A program started by a test, with its standard output and error collected in the background.
// The destructor kills it if it still runs.
class ChildProcess {
 public:
  // Standard input is empty, or with `keepInputOpen` a pipe that stays open until closeInput()
  // (for programs that end at the end of their input).
  ChildProcess(std::string program, std::vector<std::string> args,
               std::map<std::string, std::string> extraEnvironment = {}, bool keepInputOpen = false);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  std::string output() const;  // standard output so far
  std::string errors() const;  // standard error so far

  // Waits until standard output or error contains `text`; false on timeout or exit.
  bool waitForText(const std::string& text, std::chrono::milliseconds timeout);
  void signal(int sig);
  void closeInput();
  // The exit status (or 128 + signal), or nullopt when it is still running after `timeout`.
  std::optional<int> wait(std::chrono::milliseconds timeout);

 private:
  void reap(bool block);
  pid_t pid_ = -1;
  int input_ = -1;  // the write end of standard input, with keepInputOpen
  std::optional<int> status_;
  mutable std::mutex mutex_;
  std::string out_, err_;
  std::thread outReader_, errReader_;
};

}  // namespace corvel::test
