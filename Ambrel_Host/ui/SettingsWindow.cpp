#include "Ambrel_Host/ui/SettingsWindow.h"

#include <QApplication>
#include <QStyle>
#include <QTabWidget>
#include <QVBoxLayout>

#include "Ambrel_Host/ui/AboutPane.h"
#include "Ambrel_Host/ui/GeneralPane.h"
#include "Ambrel_Host/ui/PicturePane.h"
#include "Ambrel_Host/ui/SecurityPane.h"

namespace ambrel {

SettingsWindow::SettingsWindow(HostModel& model, Dialogs dialogs, QWidget* parent)
    : QWidget(parent), tabs_(new QTabWidget(this)) {
  setObjectName("settingsWindow");
  setWindowTitle("Ambrel Host");
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs_);
  auto* style = QApplication::style();
  tabs_->addTab(new GeneralPane(model, tabs_), style->standardIcon(QStyle::SP_FileDialogDetailedView), "General");
  tabs_->addTab(new SecurityPane(model, tabs_), style->standardIcon(QStyle::SP_VistaShield), "Security");
  tabs_->addTab(new PicturePane(model, tabs_), style->standardIcon(QStyle::SP_DesktopIcon), "Picture");
  tabs_->addTab(new NetworkPane(model, std::move(dialogs.chooseLogDestination), tabs_),
                style->standardIcon(QStyle::SP_DriveNetIcon), "Network");
  tabs_->addTab(new HistoryPane(model, std::move(dialogs.confirmClearHistory), tabs_),
                style->standardIcon(QStyle::SP_BrowserReload), "History");
  tabs_->addTab(new AboutPane(model, tabs_), style->standardIcon(QStyle::SP_MessageBoxInformation), "About");
  tabs_->setUsesScrollButtons(false);
  resize(640, 540);
}

}  // namespace ambrel
