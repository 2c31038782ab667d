#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <future>
#include <mutex>

#include "Ambrel_Host/controller/LinuxSystemActions.h"
#include "Ambrel_Host/controller/ProcessLauncher.h"
#include "Ambrel_Host/controller/WebAddress.h"
#include "tests/support/TemporaryFolder.h"

namespace ambrel {
namespace {

namespace fs = std::filesystem;

// Records what it is asked to start; answers from a table.
class FakeLauncher final : public ProcessLauncher {
 public:
  struct Call {
    std::string program;
    std::vector<std::string> args;
    bool waited;
  };

  std::optional<int> run(const std::string& program, const std::vector<std::string>& args) override {
    std::lock_guard lock(mutex_);
    calls_.push_back({program, args, true});
    return status;
  }
  bool start(const std::string& program, const std::vector<std::string>& args) override {
    std::lock_guard lock(mutex_);
    calls_.push_back({program, args, false});
    return status.has_value();
  }
  std::vector<Call> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

  std::optional<int> status = 0;  // nothing: cannot be started

 private:
  mutable std::mutex mutex_;
  std::vector<Call> calls_;
};

void writeFile(const fs::path& p, const std::string& text, fs::perms perms = fs::perms::owner_read |
                                                                          fs::perms::owner_write) {
  fs::create_directories(p.parent_path());
  std::ofstream(p) << text;
  fs::permissions(p, perms);
}

class SystemActionsTest : public ::testing::Test {
 protected:
  corvel::test::TemporaryFolder folder;
  fs::path userApps = folder.path() / "home/applications";
  fs::path systemApps = folder.path() / "usr/applications";
  fs::path shortcuts = folder.path() / "Shortcuts";
  std::shared_ptr<FakeLauncher> launcher = std::make_shared<FakeLauncher>();
  int reboots = 0;
  LinuxSystemActions actions{launcher, corvel::sharedPool().get_executor(),
                             LinuxSystemActions::Options{
                                 .applicationFolders = {userApps, systemApps},
                                 .shortcutsFolder = shortcuts,
                                 .reboot = [this] { ++reboots; }}};

  using Command = void (LinuxSystemActions::*)(std::string, SystemActions::Reply);
  std::string ask(Command command, std::string text) {
    std::promise<std::string> answer;
    auto future = answer.get_future();
    (actions.*command)(std::move(text), [&answer](std::string s) { answer.set_value(std::move(s)); });
    EXPECT_EQ(future.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    return future.get();
  }
};

TEST(WebAddress, AcceptsOnlyWellFormedWebAddresses) {
  struct Case {
    const char* typed;
    std::optional<std::string> opened;
  };
  const Case cases[] = {
      {"example.com", "https://example.com"},
      {"example.com/path?q=1#top", "https://example.com/path?q=1#top"},
      {"http://example.com", "http://example.com"},
      {"HTTPS://Example.COM:8443/", "HTTPS://Example.COM:8443/"},
      {"https://[2001:db8::1]:8080/x", "https://[2001:db8::1]:8080/x"},
      {"https://user@example.com/%20x", "https://user@example.com/%20x"},
      {"file:///etc/passwd", std::nullopt},
      {"javascript://alert(1)", std::nullopt},
      {"ftp://example.com", std::nullopt},
      {"smb://server/share", std::nullopt},
      {"https://", std::nullopt},
      {"https:///path", std::nullopt},
      {"example .com", std::nullopt},
      {"example.com\n", std::nullopt},
      {"https://example.com/\"; rm -rf ~", std::nullopt},
      {"https://example.com/%zz", std::nullopt},
      {"https://example.com:80a/", std::nullopt},
      {"-https://example.com", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WebAddress::normalize(c.typed), c.opened) << "typed: " << c.typed;
  }
}

TEST_F(SystemActionsTest, OpenURLHandsOnlyWebAddressesToTheDesktop) {
  EXPECT_EQ(ask(&LinuxSystemActions::openURL, "example.com"), "Opened https://example.com.");
  EXPECT_EQ(ask(&LinuxSystemActions::openURL, "file:///etc/passwd"), "That isn't a web address.");
  EXPECT_EQ(ask(&LinuxSystemActions::openURL, "about:blank"), "That isn't a web address.");
  auto calls = launcher->calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].program, "xdg-open");
  EXPECT_EQ(calls[0].args, std::vector<std::string>{"https://example.com"});
  EXPECT_FALSE(calls[0].waited);

  launcher->status.reset();
  EXPECT_EQ(ask(&LinuxSystemActions::openURL, "http://example.org/a"),
            "Couldn't open http://example.org/a.");
}

TEST_F(SystemActionsTest, OpenAppFindsItsDesktopEntry) {
  auto app = [](const char* name, const char* extra = "") {
    return std::string("[Desktop Entry]\nType=Application\nName=") + name + "\nExec=x %U\n" + extra;
  };
  writeFile(systemApps / "org.gnome.Calculator.desktop", app("Calculator"));
  writeFile(systemApps / "firefox-esr.desktop", app("Firefox ESR"));
  writeFile(userApps / "firefox-esr.desktop", app("My Firefox"));  // the user's own comes first
  writeFile(systemApps / "kde4/konsole.desktop", app("Konsole"));
  writeFile(systemApps / "secret.desktop", app("Secret", "Hidden=true\n"));
  writeFile(systemApps / "site.desktop", "[Desktop Entry]\nType=Link\nName=Site\nURL=https://x\n");
  writeFile(systemApps / "other.desktop",
            "[Desktop Entry]\nType=Application\nName=Other\n[Desktop Action new]\nName=Calc\n");

  struct Case {
    const char* name;
    std::optional<fs::path> launched;
  };
  const Case cases[] = {
      {"Calculator", systemApps / "org.gnome.Calculator.desktop"},
      {"calculator", systemApps / "org.gnome.Calculator.desktop"},
      {"org.gnome.Calculator", systemApps / "org.gnome.Calculator.desktop"},
      {"firefox-esr", userApps / "firefox-esr.desktop"},
      {"Firefox ESR", systemApps / "firefox-esr.desktop"},
      {"kde4-konsole", systemApps / "kde4/konsole.desktop"},
      {"Konsole", systemApps / "kde4/konsole.desktop"},
      {"Secret", std::nullopt},
      {"Site", std::nullopt},
      {"Calc", std::nullopt},  // an action's name is not the app's
      {"Photoshop", std::nullopt},
      {"../usr/applications/firefox-esr", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto before = launcher->calls().size();
    auto answer = ask(&LinuxSystemActions::openApp, c.name);
    auto calls = launcher->calls();
    if (c.launched) {
      EXPECT_EQ(answer, std::string("Opened ") + c.name + ".");
      ASSERT_EQ(calls.size(), before + 1);
      EXPECT_EQ(calls.back().program, "gio");
      EXPECT_EQ(calls.back().args, (std::vector<std::string>{"launch", c.launched->string()}));
    } else {
      EXPECT_EQ(answer, std::string("Couldn't find an app called ") + c.name + ".");
      EXPECT_EQ(calls.size(), before);
    }
  }

  for (std::optional<int> status : {std::optional<int>(4), std::optional<int>()}) {
    launcher->status = status;
    EXPECT_EQ(ask(&LinuxSystemActions::openApp, "Calculator"), "Couldn't find an app called Calculator.");
  }
}

TEST_F(SystemActionsTest, RunShortcutStartsOnlyExecutablesInTheShortcutsFolder) {
  writeFile(shortcuts / "backup", "#!/bin/sh\n", fs::perms::owner_all);
  writeFile(shortcuts / "notes", "just text\n");
  fs::create_directories(shortcuts / "folder");
  writeFile(folder.path() / "outside", "#!/bin/sh\n", fs::perms::owner_all);

  struct Case {
    const char* name;
    bool launched;
  };
  const Case cases[] = {
      {"backup", true},       {"notes", false},  {"folder", false}, {"missing", false},
      {"../outside", false},  {"..", false},     {".", false},      {"folder/../backup", false},
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto before = launcher->calls().size();
    auto answer = ask(&LinuxSystemActions::runShortcut, c.name);
    auto calls = launcher->calls();
    if (c.launched) {
      EXPECT_EQ(answer, std::string("Ran the \u201C") + c.name + "\u201D shortcut.");
      ASSERT_EQ(calls.size(), before + 1);
      EXPECT_EQ(calls.back().program, (shortcuts / c.name).string());
      EXPECT_TRUE(calls.back().args.empty());
      EXPECT_TRUE(calls.back().waited);
    } else {
      EXPECT_EQ(answer, std::string("Couldn't run a shortcut called \u201C") + c.name + "\u201D.");
      EXPECT_EQ(calls.size(), before);
    }
  }

  launcher->status = 2;
  EXPECT_EQ(ask(&LinuxSystemActions::runShortcut, "backup"),
            "Couldn't run a shortcut called \u201C" "backup" "\u201D.");
}

TEST_F(SystemActionsTest, HostActionsRunTheirPrograms) {
  ::setenv("XDG_SESSION_ID", "7", 1);
  actions.lockScreen();
  actions.sleepDisplay();
  launcher->status = 1;  // failures are logged, nothing else
  actions.restart();
  actions.flush();
  ::unsetenv("XDG_SESSION_ID");

  auto calls = launcher->calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].program, "loginctl");
  EXPECT_EQ(calls[0].args, (std::vector<std::string>{"lock-session", "7"}));
  EXPECT_EQ(calls[1].program, "xset");
  EXPECT_EQ(calls[1].args, (std::vector<std::string>{"dpms", "force", "off"}));
  EXPECT_EQ(reboots, 1);
}

TEST(PosixProcessLauncher, PassesArgumentsLiterallyAndReportsStatus) {
  auto launcher = ProcessLauncher::posix();
  EXPECT_EQ(launcher->run("true", {}), 0);
  EXPECT_EQ(launcher->run("false", {}), 1);
  EXPECT_EQ(launcher->run("/nonexistent/program", {}), std::nullopt);
  EXPECT_EQ(launcher->run("no-such-program-anywhere", {}), std::nullopt);
  // No shell: spaces, quotes and $(...) arrive as they are.
  EXPECT_EQ(launcher->run("test", {"a b $(false) \"q\"", "=", "a b $(false) \"q\""}), 0);
  EXPECT_TRUE(launcher->start("true", {}));
  EXPECT_FALSE(launcher->start("/nonexistent/program", {}));
}

TEST(PosixProcessLauncher, RunsARealShortcut) {
  corvel::test::TemporaryFolder folder;
  auto shortcuts = folder.path() / "Shortcuts";
  writeFile(shortcuts / "mark it", "#!/bin/sh\ntouch \"$0.ran\"\n", fs::perms::owner_all);
  LinuxSystemActions actions(ProcessLauncher::posix(), corvel::sharedPool().get_executor(),
                             {.applicationFolders = {}, .shortcutsFolder = shortcuts, .reboot = {}});
  std::promise<std::string> answer;
  actions.runShortcut("mark it", [&](std::string s) { answer.set_value(std::move(s)); });
  EXPECT_EQ(answer.get_future().get(), "Ran the \u201Cmark it\u201D shortcut.");
  EXPECT_TRUE(fs::exists(shortcuts / "mark it.ran"));
}

}  // namespace
}  // namespace ambrel
