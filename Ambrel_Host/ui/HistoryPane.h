#pragma once

#include <functional>

#include "Ambrel_Host/ui/HistoryFilter.h"
#include "Ambrel_Host/ui/SettingsPane.h"

class QComboBox;
class QLabel;
class QListWidget;
class QPushButton;

namespace ambrel {

// Settings: the session history, filtered, and clearing it.
class HistoryPane final : public SettingsPane {
 public:
  // Asks "Clear session history?"; true to clear.
  using Confirm = std::function<bool()>;

  HistoryPane(HostModel& model, Confirm confirmClear, QWidget* parent = nullptr);

  HistoryFilter filter() const { return filter_; }
  // The confirmation the pane shows by default.
  static bool askToClear(QWidget* parent);

 private:
  void refresh() override;

  Confirm confirmClear_;
  HistoryFilter filter_ = HistoryFilter::all;
  QComboBox* picker_;
  QListWidget* list_;
  QWidget* empty_;
  QPushButton* clear_;
};

}  // namespace ambrel
