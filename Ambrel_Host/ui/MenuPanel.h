#pragma once

#include <functional>

#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;
class QVBoxLayout;

namespace ambrel {

class HostModel;

// The panel the tray icon opens: header, access code, permissions, connected devices, sending
// files, support session, chat, received files and the footer, top to bottom. A view of the
// model: every control shows the snapshot and every button calls one operation.
class MenuPanel final : public QWidget {
 public:
  struct Actions {
    std::function<void()> openSettings;
    std::function<void()> quit;
    // Asks for the files to send; empty when the person cancelled.
    std::function<QStringList()> chooseFiles;
  };

  MenuPanel(HostModel& model, Actions actions, QWidget* parent = nullptr);
  ~MenuPanel() override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QWidget* makeHeader();
  QWidget* makeAccessCode();
  QWidget* makePermissions();
  QWidget* makeClients();
  QWidget* makeSupport();
  QWidget* makeChat();
  QWidget* makeReceivedFiles();
  QWidget* makeFooter();
  void update();
  void updateClients();
  void updateChat();
  void updateReceivedFiles();
  void sendDraft();

  HostModel& model_;
  Actions actions_;
  int listener_ = -1;

  QLabel* state_ = nullptr;
  QLabel* dot_ = nullptr;
  QLabel* code_ = nullptr;
  QPushButton* copy_ = nullptr;
  bool copied_ = false;
  QLabel* qr_ = nullptr;
  QString qrLink_;
  QWidget* permissions_ = nullptr;
  QLabel* captureState_ = nullptr;
  QLabel* inputState_ = nullptr;
  QWidget* clientsBlock_ = nullptr;
  QVBoxLayout* clientRows_ = nullptr;
  QPushButton* sendFiles_ = nullptr;
  QWidget* supportIdle_ = nullptr;
  QWidget* supportRunning_ = nullptr;
  QLabel* supportCode_ = nullptr;
  QLabel* supportQr_ = nullptr;
  QString supportQrLink_;
  QLabel* chatTitle_ = nullptr;
  QVBoxLayout* chatRows_ = nullptr;
  QLineEdit* draft_ = nullptr;
  QWidget* filesBlock_ = nullptr;
  QVBoxLayout* fileRows_ = nullptr;
  QLabel* lastError_ = nullptr;
  QToolButton* updateBadge_ = nullptr;
};

}  // namespace ambrel
