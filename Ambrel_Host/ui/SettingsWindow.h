#pragma once

#include <QWidget>

#include "Ambrel_Host/ui/HistoryPane.h"
#include "Ambrel_Host/ui/NetworkPane.h"

class QTabWidget;

namespace ambrel {

class HostModel;

// The settings window: General, Security, Picture, Network, History and About. Closing it
// only hides it.
class SettingsWindow final : public QWidget {
 public:
  struct Dialogs {
    NetworkPane::ChooseDestination chooseLogDestination;
    HistoryPane::Confirm confirmClearHistory;
  };

  SettingsWindow(HostModel& model, Dialogs dialogs, QWidget* parent = nullptr);

  QTabWidget* tabs() const { return tabs_; }

 private:
  QTabWidget* tabs_;
};

}  // namespace ambrel
