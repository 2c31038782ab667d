#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ambrel {

// Starts programs without a shell: the arguments reach the program exactly as given.
class ProcessLauncher {
 public:
  virtual ~ProcessLauncher() = default;

  // Runs `program` (a path, or a name looked up in PATH) with `args` and waits for it to end.
  // Its exit status (128 + the signal when a signal ended it), or nothing when it could not be
  // started.
  [[nodiscard]] virtual std::optional<int> run(const std::string& program,
                                               const std::vector<std::string>& args) = 0;
  // Starts it and returns at once; it is reaped in the background. False when it could not be
  // started.
  [[nodiscard]] virtual bool start(const std::string& program,
                                   const std::vector<std::string>& args) = 0;

  // posix_spawn, standard input from /dev/null, signals back to their defaults.
  static std::shared_ptr<ProcessLauncher> posix();
};

}  // namespace ambrel
