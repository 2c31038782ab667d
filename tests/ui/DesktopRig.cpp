#include "tests/ui/DesktopRig.h"

#include <QApplication>
#include <QTest>

#include <chrono>
#include <thread>

#include "CorvelKit/base/Clock.h"
#include "CorvelKit/base/Defaults.h"

namespace ambrel::test {

DesktopRig::DesktopRig(bool realUpdateAlerts)
    : history(std::make_shared<SessionHistory>(historyFolder.path() / "SessionHistory.json",
                                               corvel::Clock::system())),
      rig(HostRig::Options{}, nullptr, history) {
  // Devices get in without the question unless a test asks for it.
  (void)rig.host->set(Setting::askBeforeConnecting, false);
  UpdateChecker::Options checks;
  checks.executor = rig.io.get_executor();
  checks.defaults = std::make_shared<corvel::Defaults>(historyFolder.path() / "update-settings.json");
  checks.feedURL = feed.url("/feed.json");
  checks.installedVersion = "1.0";
  checks.installedBuild = "100";
  checks.openURL = [this](const std::string& url) { opened.push_back(url); };
  updates = UpdateChecker::make(std::move(checks));
  model = std::make_unique<HostModel>(rig.host, rig.io.get_executor(), history, updates);
  DesktopShell::Options options;
  options.quit = [this] { ++quitRequests; };
  options.chooseFiles = [this] { return filesToSend; };
  options.chooseLogDestination = [] { return QString(); };
  options.confirmClearHistory = [this] { return confirmClear; };
  options.withoutTray = true;
  if (!realUpdateAlerts) {
    options.askAboutUpdate = [this](const UpdateAlert& alert, std::function<void(std::size_t)> answer) {
      updateAlerts.push_back(alert);
      if (updateAnswer) answer(*updateAnswer);
    };
  }
  shell = std::make_unique<DesktopShell>(*model, std::move(options));
  shell->showPanel();
  pump();
}

DesktopRig::~DesktopRig() {
  shell.reset();
  model.reset();
  pump();
}

void DesktopRig::pump() {
  for (int round = 0; round < 10; ++round) {
    rig.settle();
    QApplication::sendPostedEvents();
    QApplication::processEvents();
  }
}

UpdateStatus DesktopRig::finishUpdateCheck() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  do {
    pump();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  } while (updates->status().kind == UpdateStatus::Kind::checking && std::chrono::steady_clock::now() < deadline);
  pump();
  return updates->status();
}

void DesktopRig::click(QAbstractButton* button) {
  QTest::mouseClick(button, Qt::LeftButton);
  pump();
}

}  // namespace ambrel::test
