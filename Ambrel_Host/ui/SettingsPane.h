#pragma once

#include <functional>
#include <vector>

#include <QWidget>

#include "Ambrel_Host/controller/SettingsTable.h"

class QCheckBox;
class QFormLayout;

namespace ambrel {

class HostModel;

// What every settings pane shares: the model, a form to lay rows out in, and switches bound to
// flag settings (they show the stored value and write through the controller).
class SettingsPane : public QWidget {
 public:
  SettingsPane(HostModel& model, QWidget* parent);
  ~SettingsPane() override;

 protected:
  // Called whenever a new snapshot arrives, and once at the start.
  virtual void refresh() = 0;
  // Call at the end of the pane's constructor.
  void startListening();

  QCheckBox* flagSwitch(const QString& text, Setting setting);
  // A row with the label on the left; returns the row's field widget.
  QFormLayout* form() { return form_; }

  HostModel& model_;

 private:
  void refreshSwitches();

  QFormLayout* form_;
  std::vector<std::pair<QCheckBox*, Setting>> switches_;
  int listener_ = -1;
};

}  // namespace ambrel
