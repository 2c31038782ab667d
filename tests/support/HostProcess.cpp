#include "tests/support/HostProcess.h"

#include <signal.h>

#include <fstream>
#include <regex>

namespace corvel::test {

HostProcess::HostProcess(std::string program, Options options) {
  if (!options.settings.empty()) {
    std::filesystem::create_directories(home_.path() / "config");
    std::ofstream(home_.path() / "config" / "settings.json") << options.settings;
  }
  options.environment["AMBREL_HOME"] = home_.path().string();
  // No sound server unless the test brings its own: the machine's, if any, stays out of it.
  options.environment.try_emplace("PULSE_SERVER", "unix:" + (home_.path() / "no-sound-server").string());
  process_ = std::make_unique<ChildProcess>(std::move(program), std::move(options.arguments),
                                            std::move(options.environment));
  if (!process_->waitForText(options.readyText, options.timeout)) return;
  const std::string out = process_->output();
  std::smatch m;
  if (std::regex_search(out, m, std::regex("Access code: (\\S+)"))) accessCode_ = m[1];
  if (std::regex_search(out, m, std::regex("Identity: ([0-9A-F ]{39})"))) fingerprint_ = m[1];
  ready_ = !accessCode_.empty();
}

HostProcess::~HostProcess() {
  if (!stopped_) (void)stop();
}

std::optional<int> HostProcess::stop(std::chrono::milliseconds timeout) {
  if (stopped_) return *stopped_;
  process_->signal(SIGTERM);
  auto status = process_->wait(timeout);
  if (!status) {
    process_->signal(SIGKILL);
    (void)process_->wait(timeout);
  }
  stopped_ = status;
  return status;
}

}  // namespace corvel::test
