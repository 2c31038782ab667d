#pragma once

#include <functional>
#include <memory>
#include <optional>

#include <QObject>
#include <QPointer>

#include "Ambrel_Host/ui/ApprovalDialog.h"
#include "Ambrel_Host/ui/MenuPanel.h"
#include "Ambrel_Host/ui/SettingsWindow.h"
#include "Ambrel_Host/shell/UpdateAlert.h"

class QMessageBox;
class QSystemTrayIcon;

namespace ambrel {

class HostModel;

// The host's face on the desktop: the tray icon with its panel (a normal window where the
// desktop has no tray), the settings window and the approval question for the first device
// waiting. Interface thread only.
class DesktopShell {
 public:
  struct Options {
    std::function<void()> quit;
    // Dialogs the shell opens; tests replace them.
    std::function<QStringList()> chooseFiles;
    NetworkPane::ChooseDestination chooseLogDestination;
    HistoryPane::Confirm confirmClearHistory;
    // Puts an update alert to the person and passes on the index of the button they chose (or
    // nothing, when they closed it).
    std::function<void(const UpdateAlert&, std::function<void(std::size_t)>)> askAboutUpdate;
    // Never use the tray, even where one exists.
    bool withoutTray = false;
  };

  DesktopShell(HostModel& model, Options options);
  ~DesktopShell();
  DesktopShell(const DesktopShell&) = delete;
  DesktopShell& operator=(const DesktopShell&) = delete;

  // The panel: below the tray icon when there is one, else as a window.
  void showPanel();
  void showSettings();

  bool hasTray() const { return tray_ != nullptr; }
  MenuPanel& panel() { return *panel_; }
  SettingsWindow& settings() { return *settings_; }
  // The question on screen, if any.
  ApprovalDialog* approval() const { return approval_; }

 private:
  void update();
  void followApprovals();
  void askAboutUpdate(const UpdateAlert& alert, std::function<void(std::size_t)> answer);

  HostModel& model_;
  Options options_;
  std::unique_ptr<MenuPanel> panel_;
  std::unique_ptr<SettingsWindow> settings_;
  std::unique_ptr<QSystemTrayIcon> tray_;
  QPointer<ApprovalDialog> approval_;
  QPointer<QMessageBox> updateAlert_;
  // Answered here: not asked again while snapshots taken before the answer still show it.
  std::optional<corvel::UUID> answered_;
  bool trayShowsConnected_ = false;
  int listener_ = -1;
};

}  // namespace ambrel
