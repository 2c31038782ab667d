#pragma once

#include "Ambrel_Host/ui/SettingsPane.h"

class QComboBox;
class QLabel;

namespace ambrel {

// Settings: the picture's quality, frame rate, codec and dynamic range.
class PicturePane final : public SettingsPane {
 public:
  PicturePane(HostModel& model, QWidget* parent = nullptr);

 private:
  void refresh() override;

  QComboBox* quality_;
  QLabel* hdrState_;
};

}  // namespace ambrel
