#pragma once

#include <functional>

#include "Ambrel_Host/ui/SettingsPane.h"

class QLabel;
class QPushButton;

namespace ambrel {

// Settings: how devices reach this computer, browser access and the log export.
class NetworkPane final : public SettingsPane {
 public:
  // Asks where to save the exported log; empty when the person cancelled.
  using ChooseDestination = std::function<QString()>;

  NetworkPane(HostModel& model, ChooseDestination chooseDestination, QWidget* parent = nullptr);

 private:
  void refresh() override;
  void exportLogs();

  ChooseDestination chooseDestination_;
  QLabel* addresses_;
  QLabel* anywhere_;
  QLabel* port_;
  QPushButton* openBrowser_;
  QLabel* exportError_;
};

}  // namespace ambrel
