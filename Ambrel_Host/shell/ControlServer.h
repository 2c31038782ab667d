#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "Ambrel_Host/shell/ControlCommands.h"
#include "CorvelKit/base/Executors.h"

namespace ambrel {

// The running host's control socket: a Unix socket (mode 0600, in a 0700 folder) that only the
// host's own user may use. One request per connection: a JSON array of strings ending in a
// newline; one answer: a JSON object {"status": N, "output": "..."}; then the socket closes.
class ControlServer {
 public:
  using Handler = std::function<ControlReply(const std::vector<std::string>&)>;

  // Requests bigger than this are refused; a client that sends nothing is dropped after a while.
  static constexpr std::size_t maxRequestBytes = 64 * 1024;

  // Runs the handler on `executor` (the controller's).
  ControlServer(corvel::Executor executor, std::filesystem::path socketPath, Handler handler);
  ~ControlServer();

  // Fails when another host answers on the socket already, or the socket can't be made.
  [[nodiscard]] std::error_code start();
  void stop();

  // run/control.sock in the runtime folder.
  static std::filesystem::path defaultPath();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// The command line's side: sends one request and waits for the answer.
struct ControlClient {
  // Fails (with the connection error) when no host answers on the socket.
  [[nodiscard]] static std::error_code send(const std::filesystem::path& socketPath,
                                            const std::vector<std::string>& args,
                                            ControlReply& reply);
};

}  // namespace ambrel
