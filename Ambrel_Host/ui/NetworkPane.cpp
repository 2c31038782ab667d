#include "Ambrel_Host/ui/NetworkPane.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "Ambrel_Host/shell/LogExport.h"
#include "Ambrel_Host/ui/HostModel.h"
#include "Ambrel_Host/ui/ViewText.h"

namespace ambrel {

NetworkPane::NetworkPane(HostModel& model, ChooseDestination chooseDestination, QWidget* parent)
    : SettingsPane(model, parent),
      chooseDestination_(std::move(chooseDestination)),
      addresses_(new QLabel(this)),
      anywhere_(new QLabel(this)),
      port_(new QLabel(this)),
      openBrowser_(new QPushButton("Open in a browser", this)),
      exportError_(new QLabel(this)) {
  setObjectName("network");
  form()->addRow(view::heading("This computer", this));
  addresses_->setObjectName("lanAddresses");
  addresses_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  form()->addRow("On this network", addresses_);
  anywhere_->setObjectName("fromAnywhere");
  anywhere_->setWordWrap(true);
  form()->addRow("From anywhere", anywhere_);
  port_->setObjectName("port");
  form()->addRow("Port", port_);
  form()->addRow(view::note("Your devices find this computer by themselves when they're on the same "
                            "network. Away from home, they reach it through your own cloud database — "
                            "connecting straight to this computer, with nothing in between.",
                            this));

  form()->addRow(view::heading("Browser", this));
  auto* browser = new QWidget(this);
  auto* browserColumn = new QVBoxLayout(browser);
  browserColumn->setContentsMargins(0, 0, 0, 0);
  browserColumn->addWidget(flagSwitch("Browser access (experimental)", Setting::browserAccess));
  browserColumn->addWidget(view::note("Lets any browser on this network (Windows, Linux, Android) view and "
                                      "control this computer. Enter the access code to connect.",
                                      browser));
  browserColumn->addWidget(view::note(
      "Served straight from this computer over your local network — there is no third-party server. "
      "It's encrypted with this computer's own certificate, so the browser warns once: choose "
      "Advanced, then continue. For your own network only.",
      browser));
  openBrowser_->setObjectName("openInBrowser");
  connect(openBrowser_, &QPushButton::clicked, this, [this] {
    if (const auto& address = model_.snapshot().browserAddress) {
      QDesktopServices::openUrl(QUrl(view::text(*address)));
    }
  });
  browserColumn->addWidget(openBrowser_, 0, Qt::AlignLeft);
  form()->addRow("", browser);

  form()->addRow(view::heading("Logs", this));
  auto* logs = new QWidget(this);
  auto* logsColumn = new QVBoxLayout(logs);
  logsColumn->setContentsMargins(0, 0, 0, 0);
  auto* exportButton = new QPushButton("Export Logs…", logs);
  exportButton->setObjectName("exportLogs");
  connect(exportButton, &QPushButton::clicked, this, [this] { exportLogs(); });
  logsColumn->addWidget(exportButton, 0, Qt::AlignLeft);
  logsColumn->addWidget(view::note("A text file of Ambrel Host's recent activity, for troubleshooting. It "
                                   "never includes screen content or your access code.",
                                   logs));
  exportError_->setObjectName("exportError");
  exportError_->setVisible(false);
  logsColumn->addWidget(exportError_);
  form()->addRow("", logs);
  startListening();
}

void NetworkPane::exportLogs() {
  const auto destination = chooseDestination_ ? chooseDestination_() : QString();
  if (destination.isEmpty()) return;
  auto error = LogExport::write(LogExport::logFile(), destination.toStdString());
  exportError_->setVisible(error.has_value());
  exportError_->setText(error ? "⚠ " + view::text(*error) : QString());
}

void NetworkPane::refresh() {
  const auto& s = model_.snapshot();
  QStringList lines;
  for (const auto& a : s.lanAddresses) lines << view::text(a);
  addresses_->setText(lines.isEmpty() ? QString("Not connected") : lines.join("\n"));
  anywhere_->setText(view::text(s.cloudStatus));
  port_->setText(QString::number(s.port));
  openBrowser_->setEnabled(s.browserAddress.has_value());
}

}  // namespace ambrel
