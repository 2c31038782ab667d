#include "Ambrel_Host/ui/DesktopShell.h"

#include <algorithm>

#include <QCursor>
#include <QFileDialog>
#include <QGuiApplication>
#include <QIcon>
#include <QMessageBox>
#include <QPushButton>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QStandardPaths>
#include <QSystemTrayIcon>

#include "Ambrel_Host/shell/LogExport.h"
#include "Ambrel_Host/ui/HostModel.h"

namespace ambrel {

namespace {

// The tray's picture: a screen, with a green dot while someone is connected.
QIcon trayIcon(bool connected) {
  QPixmap pixmap(64, 64);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(40, 40, 40), 5));
  p.setBrush(QColor(235, 235, 235));
  p.drawRoundedRect(QRectF(6, 10, 52, 34), 5, 5);
  p.drawLine(QPointF(32, 44), QPointF(32, 54));
  p.drawLine(QPointF(20, 55), QPointF(44, 55));
  if (connected) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(47, 179, 68));
    p.drawEllipse(QRectF(38, 32, 24, 24));
  }
  return QIcon(pixmap);
}

}  // namespace

DesktopShell::DesktopShell(HostModel& model, Options options)
    : model_(model), options_(std::move(options)) {
  if (!options_.chooseFiles) {
    options_.chooseFiles = [this] {
      return QFileDialog::getOpenFileNames(panel_.get(), "Choose files to send to your connected devices");
    };
  }
  if (!options_.chooseLogDestination) {
    options_.chooseLogDestination = [this] {
      const auto folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
      return QFileDialog::getSaveFileName(settings_.get(), "Export Logs",
                                          folder + "/" + QString(LogExport::fileName));
    };
  }
  if (!options_.confirmClearHistory) {
    options_.confirmClearHistory = [this] { return HistoryPane::askToClear(settings_.get()); };
  }

  if (!options_.askAboutUpdate) {
    options_.askAboutUpdate = [this](const UpdateAlert& alert, std::function<void(std::size_t)> answer) {
      askAboutUpdate(alert, std::move(answer));
    };
  }
  model_.setUpdateAlertHandler([this](const UpdateAlert& alert) {
    options_.askAboutUpdate(alert, [this, alert](std::size_t button) { model_.answerUpdate(alert, button); });
  });

  MenuPanel::Actions actions;
  actions.openSettings = [this] { showSettings(); };
  actions.quit = options_.quit;
  actions.chooseFiles = options_.chooseFiles;
  panel_ = std::make_unique<MenuPanel>(model_, std::move(actions));
  settings_ = std::make_unique<SettingsWindow>(
      model_, SettingsWindow::Dialogs{options_.chooseLogDestination, options_.confirmClearHistory});

  if (!options_.withoutTray && QSystemTrayIcon::isSystemTrayAvailable()) {
    tray_ = std::make_unique<QSystemTrayIcon>(trayIcon(false));
    tray_->setToolTip("Ambrel Host");
    QObject::connect(tray_.get(), &QSystemTrayIcon::activated, panel_.get(),
                     [this](QSystemTrayIcon::ActivationReason reason) {
                       if (reason != QSystemTrayIcon::Trigger) return;
                       if (panel_->isVisible()) {
                         panel_->hide();
                       } else {
                         showPanel();
                       }
                     });
    // Below the tray: a panel that closes when the person clicks elsewhere.
    panel_->setWindowFlags(Qt::Popup);
    tray_->show();
  }
  listener_ = model_.addListener([this] { update(); });
  update();
}

DesktopShell::~DesktopShell() {
  model_.removeListener(listener_);
  model_.setUpdateAlertHandler({});
  if (approval_) delete approval_.data();
  if (updateAlert_) delete updateAlert_.data();
}

void DesktopShell::showPanel() {
  if (tray_) {
    // Next to the tray icon where the desktop says where it is, else by the pointer.
    auto area = tray_->geometry();
    QPoint anchor = area.isValid() ? area.bottomLeft() : QCursor::pos();
    if (auto* screen = QGuiApplication::screenAt(anchor)) {
      const auto available = screen->availableGeometry();
      const auto size = panel_->sizeHint();
      anchor.setX(std::clamp(anchor.x(), available.left(), available.right() - size.width()));
      anchor.setY(std::clamp(anchor.y(), available.top(), available.bottom() - size.height()));
    }
    panel_->move(anchor);
  }
  panel_->show();
  panel_->raise();
  panel_->activateWindow();
}

void DesktopShell::showSettings() {
  settings_->show();
  settings_->raise();
  settings_->activateWindow();
}

void DesktopShell::update() {
  const auto& s = model_.snapshot();
  const bool connected = s.anyoneConnected();
  if (tray_ && connected != trayShowsConnected_) {
    trayShowsConnected_ = connected;
    tray_->setIcon(trayIcon(connected));
  }
  followApprovals();
}

void DesktopShell::followApprovals() {
  const auto& waiting = model_.snapshot().approvals;
  const ClientRow* first = waiting.empty() ? nullptr : &waiting.front();
  // The question on screen is for a device no longer waiting (it left, or was answered from the
  // command line): take it away.
  if (approval_ && (!first || approval_->clientID() != first->id)) {
    approval_->done(QDialog::Rejected);
    approval_ = nullptr;
  }
  if (!first || approval_ || first->id == answered_) return;
  approval_ = new ApprovalDialog(*first, [this, id = first->id](ApprovalAnswer answer) {
    answered_ = id;
    model_.answer(id, answer);
  });
  approval_->show();
  approval_->raise();
  approval_->activateWindow();
}

}  // namespace ambrel

namespace ambrel {

void DesktopShell::askAboutUpdate(const UpdateAlert& alert, std::function<void(std::size_t)> answer) {
  // A newer answer replaces one still on screen, which then counts as closed.
  if (updateAlert_) updateAlert_->close();
  auto* box = new QMessageBox(alert.kind == UpdateAlert::Kind::failure ? QMessageBox::Warning
                                                                        : QMessageBox::Information,
                              "Ambrel Host", QString::fromStdString(alert.message), QMessageBox::NoButton);
  box->setObjectName("updateAlert");
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::ApplicationModal);
  // The message carries the feed's version: never read as markup.
  box->setTextFormat(Qt::PlainText);
  box->setInformativeText(QString::fromStdString(alert.informative));
  std::vector<QPushButton*> buttons;
  for (std::size_t i = 0; i < alert.buttons.size(); ++i) {
    buttons.push_back(box->addButton(QString::fromStdString(alert.buttons[i]),
                                     i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole));
  }
  if (!buttons.empty()) box->setDefaultButton(buttons.front());
  QObject::connect(box, &QMessageBox::buttonClicked, box,
                   [buttons, answer = std::move(answer)](QAbstractButton* clicked) {
                     for (std::size_t i = 0; i < buttons.size(); ++i) {
                       if (static_cast<QAbstractButton*>(buttons[i]) == clicked) answer(i);
                     }
                   });
  updateAlert_ = box;
  box->show();
  box->raise();
  box->activateWindow();
}

}  // namespace ambrel
