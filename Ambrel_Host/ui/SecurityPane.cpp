#include "Ambrel_Host/ui/SecurityPane.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "Ambrel_Host/ui/HostModel.h"
#include "Ambrel_Host/ui/ViewText.h"

namespace ambrel {

SecurityPane::SecurityPane(HostModel& model, QWidget* parent)
    : SettingsPane(model, parent),
      trusted_(new QWidget(this)),
      trustedRows_(new QVBoxLayout(trusted_)),
      key_(new QLabel(this)),
      fingerprint_(new QLabel(this)) {
  setObjectName("security");
  form()->addRow("", flagSwitch("Ask before allowing a connection", Setting::askBeforeConnecting));
  form()->addRow("", flagSwitch("Lock this computer when a session ends", Setting::lockWhenSessionEnds));
  auto* blank = new QWidget(this);
  auto* blankColumn = new QVBoxLayout(blank);
  blankColumn->setContentsMargins(0, 0, 0, 0);
  blankColumn->addWidget(flagSwitch("Blank this computer's screen during sessions", Setting::blankScreen));
  blankColumn->addWidget(view::note("People near the computer see a black screen. The person connected "
                                    "still sees everything. Press Ctrl+Alt+Super+Period at the computer "
                                    "to end the session.",
                                    blank));
  form()->addRow("", blank);
  trusted_->setObjectName("trustedDevices");
  trustedRows_->setContentsMargins(0, 0, 0, 0);
  form()->addRow("Always allowed", trusted_);
  form()->addRow("Encryption", new QLabel("End-to-end, post-quantum", this));
  key_->setObjectName("identityKey");
  form()->addRow("This computer's key", key_);
  fingerprint_->setObjectName("identityFingerprint");
  fingerprint_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto font = fingerprint_->font();
  font.setFamily("monospace");
  fingerprint_->setFont(font);
  form()->addRow("This computer's security ID", fingerprint_);
  startListening();
}

void SecurityPane::refresh() {
  const auto& s = model_.snapshot();
  while (auto* item = trustedRows_->takeAt(0)) {
    if (auto* w = item->widget()) w->deleteLater();
    delete item;
  }
  if (s.trustedDevices.empty()) {
    trustedRows_->addWidget(view::note("No devices yet. Choose Always Allow when a device asks to connect.",
                                       trusted_));
  }
  for (const auto& device : s.trustedDevices) {
    auto* row = new QWidget(trusted_);
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    line->addWidget(new QLabel(view::text(device.name), row), 1);
    auto* forget = new QPushButton("Forget", row);
    forget->setObjectName("forget:" + view::text(device.id));
    connect(forget, &QPushButton::clicked, this, [this, id = device.id] { model_.forgetTrustedDevice(id); });
    line->addWidget(forget);
    trustedRows_->addWidget(row);
  }
  key_->setText(s.identityHardwareBacked ? "Kept in this computer's secure chip" : "Kept on this computer");
  fingerprint_->setText(view::text(s.identityFingerprint));
}

}  // namespace ambrel
