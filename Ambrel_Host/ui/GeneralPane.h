#pragma once

#include "Ambrel_Host/ui/SettingsPane.h"

class QCheckBox;
class QComboBox;
class QLabel;

namespace ambrel {

// Settings: the computer's name, who is connected, the cloud database, starting at login,
// clipboard and sound, staying awake and the idle disconnect.
class GeneralPane final : public SettingsPane {
 public:
  // The idle-disconnect choices in minutes; 0 is "Never".
  static constexpr int idleChoices[] = {0, 5, 15, 30, 60, 120};

  GeneralPane(HostModel& model, QWidget* parent = nullptr);

 private:
  void refresh() override;

  QLabel* name_;
  QLabel* status_;
  QLabel* cloud_;
  QCheckBox* openAtLogin_;
  QComboBox* idle_;
};

}  // namespace ambrel
