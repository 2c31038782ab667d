#include "Ambrel_Host/controller/LinuxSystemActions.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <future>

#include <systemd/sd-bus.h>

#include "Ambrel_Host/controller/DesktopEntryLookup.h"
#include "Ambrel_Host/controller/WebAddress.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/base/Paths.h"

namespace ambrel {

namespace {
auto& actionsLog() { return corvel::Log::host("app"); }

bool isShortcutName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}
}  // namespace

// What the queued work needs; it may outlive the actions object.
struct LinuxSystemActions::Shared {
  std::shared_ptr<ProcessLauncher> launcher;
  Options options;
};

LinuxSystemActions::Options LinuxSystemActions::defaultOptions() {
  return Options{.applicationFolders = DesktopEntryLookup::applicationFolders(),
                 .shortcutsFolder = corvel::Paths::dataFolder() / "Shortcuts",
                 .reboot = logindReboot};
}

LinuxSystemActions::LinuxSystemActions(std::shared_ptr<ProcessLauncher> launcher,
                                       corvel::Executor replyExecutor, Options options)
    : shared_(std::make_shared<Shared>(Shared{std::move(launcher), std::move(options)})),
      replyExecutor_(std::move(replyExecutor)) {}

LinuxSystemActions::~LinuxSystemActions() = default;

void LinuxSystemActions::answer(const corvel::Executor& executor, Reply reply,
                                std::string sentence) {
  corvel::asio::post(executor, [reply = std::move(reply), sentence = std::move(sentence)] {
    reply(sentence);
  });
}

void LinuxSystemActions::lockScreen() {
  queue_.post([shared = shared_] {
    std::vector<std::string> args{"lock-session"};
    if (const char* session = std::getenv("XDG_SESSION_ID"); session && *session) {
      args.emplace_back(session);
    }
    auto status = shared->launcher->run("loginctl", args);
    if (status != 0) actionsLog().warn("couldn't lock the session (loginctl status {})", status.value_or(-1));
  });
}

void LinuxSystemActions::sleepDisplay() {
  queue_.post([shared = shared_] {
    auto status = shared->launcher->run("xset", {"dpms", "force", "off"});
    if (status != 0) actionsLog().warn("couldn't turn the display off (xset status {})", status.value_or(-1));
  });
}

void LinuxSystemActions::restart() {
  queue_.post([shared = shared_] {
    if (shared->options.reboot) shared->options.reboot();
  });
}

void LinuxSystemActions::openApp(std::string name, Reply reply) {
  queue_.post([executor = replyExecutor_, shared = shared_, name = std::move(name), reply = std::move(reply)]() mutable {
    auto entry = DesktopEntryLookup::find(name, shared->options.applicationFolders);
    bool opened = entry && shared->launcher->run("gio", {"launch", entry->string()}) == 0;
    answer(executor, std::move(reply), opened ? openedApp(name) : noSuchApp(name));
  });
}

void LinuxSystemActions::openURL(std::string text, Reply reply) {
  queue_.post([executor = replyExecutor_, shared = shared_, text = std::move(text), reply = std::move(reply)]() mutable {
    auto address = WebAddress::normalize(text);
    if (!address) return answer(executor, std::move(reply), std::string(notAWebAddress));
    bool started = shared->launcher->start("xdg-open", {*address});
    answer(executor, std::move(reply), started ? openedURL(*address) : couldNotOpenURL(*address));
  });
}

void LinuxSystemActions::runShortcut(std::string name, Reply reply) {
  queue_.post([executor = replyExecutor_, shared = shared_, name = std::move(name), reply = std::move(reply)]() mutable {
    bool ran = false;
    if (isShortcutName(name)) {
      auto path = shared->options.shortcutsFolder / name;
      struct stat info {};
      if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
          ::access(path.c_str(), X_OK) == 0) {
        ran = shared->launcher->run(path.string(), {}) == 0;
      }
    }
    answer(executor, std::move(reply), ran ? ranShortcut(name) : noSuchShortcut(name));
  });
}

void LinuxSystemActions::flush() {
  std::promise<void> done;
  auto future = done.get_future();
  queue_.post([&done] { done.set_value(); });
  future.wait();
}

void LinuxSystemActions::logindReboot() {
  sd_bus* bus = nullptr;
  if (int r = sd_bus_open_system(&bus); r < 0) {
    actionsLog().warn("restart: no system bus ({})", std::strerror(-r));
    return;
  }
  sd_bus_error error{};  // SD_BUS_ERROR_NULL
  int r = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                             "org.freedesktop.login1.Manager", "Reboot", &error, nullptr, "b", 1);
  if (r < 0) {
    actionsLog().warn("restart refused: {}", error.message ? error.message : std::strerror(-r));
  }
  sd_bus_error_free(&error);
  sd_bus_flush_close_unref(bus);
}

}  // namespace ambrel
