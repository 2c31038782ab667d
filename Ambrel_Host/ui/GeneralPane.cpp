#include "Ambrel_Host/ui/GeneralPane.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "Ambrel_Host/ui/HostModel.h"
#include "Ambrel_Host/ui/ViewText.h"

namespace ambrel {

GeneralPane::GeneralPane(HostModel& model, QWidget* parent)
    : SettingsPane(model, parent),
      name_(new QLabel(this)),
      status_(new QLabel(this)),
      cloud_(new QLabel(this)),
      openAtLogin_(new QCheckBox("Open at login", this)),
      idle_(new QComboBox(this)) {
  setObjectName("general");
  name_->setObjectName("computerName");
  status_->setObjectName("connectionStatus");
  cloud_->setObjectName("cloudStatus");
  form()->addRow("Computer name", name_);
  form()->addRow("Status", status_);
  auto* cloud = new QWidget(this);
  auto* cloudColumn = new QVBoxLayout(cloud);
  cloudColumn->setContentsMargins(0, 0, 0, 0);
  cloudColumn->addWidget(cloud_);
  cloudColumn->addWidget(view::note("Your computers appear on your other devices through your own cloud "
                                    "database. There's nothing to sign in to.",
                                    cloud));
  form()->addRow("Cloud database", cloud);

  openAtLogin_->setObjectName("launchAtLogin");
  connect(openAtLogin_, &QCheckBox::toggled, this, [this](bool on) { model_.setLaunchAtLogin(on); });
  form()->addRow("", openAtLogin_);
  form()->addRow("", flagSwitch("Share clipboard", Setting::shareClipboard));
  form()->addRow("", flagSwitch("Share sound", Setting::shareSound));

  auto* awake = new QWidget(this);
  auto* awakeColumn = new QVBoxLayout(awake);
  awakeColumn->setContentsMargins(0, 0, 0, 0);
  awakeColumn->addWidget(new QLabel("During sessions", awake));
  awakeColumn->addWidget(view::note("Ambrel keeps the computer awake while someone is connected. To reach "
                                    "it when nobody's using it, stop it sleeping in the power settings.",
                                    awake));
  form()->addRow("Keep awake", awake);

  idle_->setObjectName("idleTimeoutMinutes");
  for (int minutes : idleChoices) {
    idle_->addItem(minutes == 0 ? QString("Never") : QString("After %1 minutes").arg(minutes), minutes);
  }
  connect(idle_, &QComboBox::activated, this, [this](int index) {
    model_.set(Setting::idleTimeoutMinutes, idle_->itemData(index).toInt());
  });
  form()->addRow("Disconnect when idle", idle_);
  startListening();
}

void GeneralPane::refresh() {
  const auto& s = model_.snapshot();
  name_->setText(view::text(s.computerName));
  const int connected = s.connectedCount();
  status_->setText(connected == 0 ? QString("No one connected") : QString("%1 connected").arg(connected));
  cloud_->setText(QString(s.cloudShared ? "Shared database: " : "This computer's database: ") +
                  view::text(s.cloudStatus));
  {
    QSignalBlocker quiet(openAtLogin_);
    openAtLogin_->setChecked(s.launchAtLogin);
  }
  const auto idle = s.value(Setting::idleTimeoutMinutes);
  const int* minutes = std::get_if<int>(&idle);
  const int index = idle_->findData(minutes ? *minutes : 0);
  QSignalBlocker quiet(idle_);
  if (index >= 0) {
    idle_->setCurrentIndex(index);
  } else if (minutes) {
    // A value set elsewhere (the command line) that isn't one of the choices: show it as it is.
    idle_->addItem(QString("After %1 minutes").arg(*minutes), *minutes);
    idle_->setCurrentIndex(idle_->count() - 1);
  }
}

}  // namespace ambrel
