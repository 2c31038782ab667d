#include "tests/support/XvfbServer.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "tests/support/ChildProcess.h"

namespace corvel::test {

using namespace std::chrono_literals;

XvfbServer::XvfbServer(const std::string& screen) {
  // Display numbers :90–:199, starting at a point of this process's own so that tests running side
  // by side rarely try the same one; a number that another server took meanwhile makes Xvfb exit
  // at once, and the next is tried.
  constexpr int first = 90, count = 110;
  int offset = static_cast<int>(::getpid()) % count;
  for (int attempt = 0; attempt < count && displayName_.empty(); ++attempt) {
    int number = first + (offset + attempt) % count;
    auto n = std::to_string(number);
    if (std::filesystem::exists("/tmp/.X" + n + "-lock") ||
        std::filesystem::exists("/tmp/.X11-unix/X" + n)) {
      continue;
    }
    // With -displayfd the server writes its number and a newline once it accepts connections.
    process_ = std::make_unique<ChildProcess>(
        "/usr/bin/Xvfb", std::vector<std::string>{":" + n, "-displayfd", "1", "-screen", "0", screen,
                                                  "-nolisten", "tcp", "-noreset"});
    if (process_->waitForText("\n", 20s) && process_->output().starts_with(n + "\n")) {
      displayName_ = ":" + n;
    } else {
      (void)process_->wait(5s);
    }
  }
}

XvfbServer::~XvfbServer() { stop(); }

std::string XvfbServer::errors() const { return process_ ? process_->errors() : std::string(); }

void XvfbServer::stop() {
  if (!process_) return;
  process_->signal(SIGTERM);
  if (!process_->wait(10s)) {
    process_->signal(SIGKILL);
    (void)process_->wait(10s);
  }
  displayName_.clear();
}

}  // namespace corvel::test
