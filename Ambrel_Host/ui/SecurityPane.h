#pragma once

#include "Ambrel_Host/ui/SettingsPane.h"

class QLabel;
class QVBoxLayout;

namespace ambrel {

// Settings: asking before a connection, locking and blanking, the trusted devices and this
// computer's identity.
class SecurityPane final : public SettingsPane {
 public:
  SecurityPane(HostModel& model, QWidget* parent = nullptr);

 private:
  void refresh() override;

  QWidget* trusted_;
  QVBoxLayout* trustedRows_;
  QLabel* key_;
  QLabel* fingerprint_;
};

}  // namespace ambrel
