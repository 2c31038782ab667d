#include "Ambrel_Host/ui/AboutPane.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

#include "Ambrel_Host/shell/HostVersion.h"
#include "Ambrel_Host/ui/HostModel.h"
#include "Ambrel_Host/ui/ViewText.h"

namespace ambrel {

QString AboutPane::versionText() {
  return view::text(std::string(hostVersion()) + " (" + std::string(hostBuild()) + ")");
}

AboutPane::AboutPane(HostModel& model, QWidget* parent) : SettingsPane(model, parent) {
  setObjectName("about");
  auto* version = new QLabel(versionText(), this);
  version->setObjectName("version");
  form()->addRow("Version", version);
  form()->addRow("Made for", new QLabel("Mac, iPhone, iPad, Apple Watch, Apple TV and Vision Pro", this));
  form()->addRow("Privacy", view::note("Ambrel connects your devices directly. There are no Ambrel servers and "
                                       "no account: sessions stay between your devices, and your cloud "
                                       "database only stores where to find your computers.",
                                       this));

  auto* update = new QWidget(this);
  auto* row = new QHBoxLayout(update);
  row->setContentsMargins(0, 0, 0, 0);
  check_ = new QPushButton("Check for Updates…", update);
  check_->setObjectName("checkForUpdates");
  check_->setEnabled(model_.checksForUpdates());
  connect(check_, &QPushButton::clicked, this, [this] { model_.checkForUpdates(); });
  updateState_ = new QLabel(update);
  updateState_->setObjectName("updateState");
  // It carries the feed's version text: never read as markup.
  updateState_->setTextFormat(Qt::PlainText);
  row->addWidget(check_);
  row->addWidget(updateState_);
  row->addStretch();
  form()->addRow("Software Update", update);
  startListening();
}

void AboutPane::refresh() { updateState_->setText(view::text(model_.snapshot().update.summary())); }

}  // namespace ambrel
