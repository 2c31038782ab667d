#include "tests/ui/DesktopRig.h"

#include <QApplication>
#include <QTest>

#include "CorvelKit/base/Clock.h"

namespace ambrel::test {

DesktopRig::DesktopRig()
    : history(std::make_shared<SessionHistory>(historyFolder.path() / "SessionHistory.json",
                                               corvel::Clock::system())),
      rig(HostRig::Options{}, nullptr, history) {
  // Devices get in without the question unless a test asks for it.
  (void)rig.host->set(Setting::askBeforeConnecting, false);
  model = std::make_unique<HostModel>(rig.host, rig.io.get_executor(), history);
  DesktopShell::Options options;
  options.quit = [this] { ++quitRequests; };
  options.chooseFiles = [this] { return filesToSend; };
  options.chooseLogDestination = [] { return QString(); };
  options.confirmClearHistory = [this] { return confirmClear; };
  options.withoutTray = true;
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

void DesktopRig::click(QAbstractButton* button) {
  QTest::mouseClick(button, Qt::LeftButton);
  pump();
}

}  // namespace ambrel::test
