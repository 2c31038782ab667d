#include "Ambrel_Host/ui/SettingsPane.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QSignalBlocker>

#include "Ambrel_Host/ui/HostModel.h"

namespace ambrel {

SettingsPane::SettingsPane(HostModel& model, QWidget* parent)
    : QWidget(parent), model_(model), form_(new QFormLayout(this)) {
  form_->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
  form_->setRowWrapPolicy(QFormLayout::DontWrapRows);
}

SettingsPane::~SettingsPane() {
  if (listener_ >= 0) model_.removeListener(listener_);
}

void SettingsPane::startListening() {
  listener_ = model_.addListener([this] {
    refreshSwitches();
    refresh();
  });
  refreshSwitches();
  refresh();
}

QCheckBox* SettingsPane::flagSwitch(const QString& text, Setting setting) {
  auto* box = new QCheckBox(text, this);
  box->setObjectName(QString::fromUtf8(SettingsTable::spec(setting).key));
  connect(box, &QCheckBox::toggled, this, [this, setting](bool on) { model_.set(setting, on); });
  switches_.emplace_back(box, setting);
  return box;
}

void SettingsPane::refreshSwitches() {
  const auto& s = model_.snapshot();
  for (auto& [box, setting] : switches_) {
    // Showing the stored value is not a change to write back.
    QSignalBlocker quiet(box);
    box->setChecked(s.flag(setting));
  }
}

}  // namespace ambrel
