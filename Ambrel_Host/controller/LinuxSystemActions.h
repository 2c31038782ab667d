#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "Ambrel_Host/controller/ProcessLauncher.h"
#include "Ambrel_Host/controller/SystemActions.h"
#include "CorvelKit/base/Executors.h"
#include "CorvelKit/base/SerialQueue.h"

namespace ambrel {

// The actions on a Linux desktop:
//   lock          `loginctl lock-session` (the session in $XDG_SESSION_ID when set, else the
//                 caller's own), which asks logind to lock it;
//   display off   `xset dpms force off` on $DISPLAY, waited for;
//   restart       logind's Reboot over the system bus (interactive, so polkit may ask);
//   open an app   its desktop entry (DesktopEntryLookup) started with `gio launch <file>`, which
//                 understands every Exec= field code and returns once the app is started;
//   open address  WebAddress::normalize, then `xdg-open <address>`, not waited for (some
//                 handlers stay in the foreground as long as the browser runs);
//   run shortcut  the executable <shortcuts folder>/<name>, waited for; names with "/", "." and
//                 ".." are refused.
// No command line goes through a shell. The work runs on a queue of its own, one action at a
// time; replies are posted to `replyExecutor`.
class LinuxSystemActions final : public SystemActions {
 public:
  struct Options {
    std::vector<std::filesystem::path> applicationFolders;
    std::filesystem::path shortcutsFolder;
    std::function<void()> reboot;
  };
  // The XDG application folders, Paths::dataFolder()/"Shortcuts" and logind's Reboot.
  static Options defaultOptions();

  LinuxSystemActions(std::shared_ptr<ProcessLauncher> launcher, corvel::Executor replyExecutor,
                     Options options = defaultOptions());
  ~LinuxSystemActions() override;

  void lockScreen() override;
  void sleepDisplay() override;
  void restart() override;
  void openApp(std::string name, Reply reply) override;
  void openURL(std::string text, Reply reply) override;
  void runShortcut(std::string name, Reply reply) override;

  // Blocks until every action asked for so far has run (tests, shutdown).
  void flush();

  // logind's Reboot on the system bus; failures are logged.
  static void logindReboot();

 private:
  struct Shared;
  static void answer(const corvel::Executor& executor, Reply reply, std::string sentence);

  std::shared_ptr<Shared> shared_;
  corvel::Executor replyExecutor_;
  corvel::SerialQueue queue_{"actions"};
};

}  // namespace ambrel
