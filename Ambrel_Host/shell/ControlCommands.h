#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ambrel {

class HostController;
class UpdateChecker;

// The answer to one command: text for the person who asked and an exit status (0 = done).
struct ControlReply {
  int status = 0;
  std::string output;
};

// The commands `ambrel-host` sends to the running host: code, new-code, disconnect-all, status,
// approve/always/deny ID, support start|end, trusted, forget ID, settings [KEY [VALUE]],
// send FILE... [--to ID], received, chat [TEXT], cloud [secret TEXT | forget-secret |
// password TEXT], update [status|check|skip], show, quit.
// Runs on the controller's executor.
class ControlCommands {
 public:
  // What the program around the host does for `show` and `quit`; either may be empty.
  struct Hooks {
    std::function<bool()> present;  // brings the desktop interface's panel up; false without one
    std::function<void()> quit;     // ends the program as Quit does
    std::shared_ptr<UpdateChecker> updates;  // `update`; without it the command says so
    std::string desktop;            // which desktop backend runs and why, for `status`
  };

  explicit ControlCommands(std::shared_ptr<HostController> host, Hooks hooks = {});

  ControlReply run(const std::vector<std::string>& args);

  // "settings" against a settings file, for when no host runs.
  static ControlReply settingsOffline(const std::vector<std::string>& args);
  // "cloud secret TEXT", "cloud forget-secret" and "cloud password TEXT" against the keychain, for
  // when no host runs.
  static ControlReply cloudOffline(const std::vector<std::string>& args);

  static constexpr int usageError = 64;
  static constexpr int failed = 1;

 private:
  ControlReply status();
  ControlReply answer(const std::vector<std::string>& args);
  ControlReply settings(const std::vector<std::string>& args);
  ControlReply send(const std::vector<std::string>& args);
  ControlReply cloud(const std::vector<std::string>& args);

  std::shared_ptr<HostController> host_;
  Hooks hooks_;
};

}  // namespace ambrel
