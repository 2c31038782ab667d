#pragma once

#include "Ambrel_Host/ui/SettingsPane.h"

class QLabel;
class QPushButton;

namespace ambrel {

// Settings: the version, what the host is made for, what it does with your data, and the update
// check with where it stands.
class AboutPane final : public SettingsPane {
 public:
  explicit AboutPane(HostModel& model, QWidget* parent = nullptr);

  // "Ambrel Host" version and build as the pane shows them: "1.2 (34)".
  static QString versionText();

 protected:
  void refresh() override;

 private:
  QPushButton* check_ = nullptr;
  QLabel* updateState_ = nullptr;
};

}  // namespace ambrel
