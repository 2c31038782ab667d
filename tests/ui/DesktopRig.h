#pragma once

#include <memory>
#include <ostream>

#include <QAbstractButton>
#include <QStringList>
#include <QWidget>

#include "Ambrel_Host/shell/SessionHistory.h"
#include "Ambrel_Host/shell/UpdateChecker.h"
#include "Ambrel_Host/ui/DesktopShell.h"
#include "Ambrel_Host/ui/HostModel.h"
#include "tests/support/HostRig.h"
#include "tests/support/LocalWebServer.h"
#include "tests/support/TemporaryFolder.h"

// Readable QStrings in failure messages.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace ambrel::test {

// The desktop interface over a HostRig, all on the test's thread: pump() runs the host's work and
// the interface's events until both are quiet. The history is a real SessionHistory, so the
// History pane shows what the host records. The update check reads `feed` (nothing answered
// yet) as build 100 of version 1.0; its alerts are recorded and answered with `updateAnswer`, or
// put on screen as the program does with `realUpdateAlerts`.
class DesktopRig {
 public:
  explicit DesktopRig(bool realUpdateAlerts = false);
  ~DesktopRig();

  void pump();
  // Pumps until the update check under way has ended; its status.
  UpdateStatus finishUpdateCheck();

  // The named child of `root`, or null.
  template <class T>
  T* find(QWidget& root, const QString& name) {
    return root.findChild<T*>(name);
  }
  // Clicks a button with the mouse, then pumps.
  void click(QAbstractButton* button);

  corvel::test::TemporaryFolder historyFolder;
  std::shared_ptr<SessionHistory> history;
  HostRig rig;
  corvel::test::LocalWebServer feed;
  std::vector<std::string> opened;  // what the update check had the browser open
  std::shared_ptr<UpdateChecker> updates;
  std::vector<UpdateAlert> updateAlerts;
  std::optional<std::size_t> updateAnswer;
  std::unique_ptr<HostModel> model;
  std::unique_ptr<DesktopShell> shell;
  QStringList filesToSend;       // what the file chooser answers
  bool confirmClear = true;      // what the clear confirmation answers
  int quitRequests = 0;
};

}  // namespace ambrel::test
