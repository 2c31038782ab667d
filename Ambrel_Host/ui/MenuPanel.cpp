#include "Ambrel_Host/ui/MenuPanel.h"

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPushButton>
#include <QShortcut>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include "Ambrel_Host/controller/HostController.h"
#include "Ambrel_Host/ui/HostModel.h"
#include "Ambrel_Host/ui/QrCode.h"
#include "Ambrel_Host/ui/ViewText.h"

namespace ambrel {

namespace {

constexpr int kCopiedMillis = 1500;
constexpr int kQrScale = 3;

QFrame* separator(QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  return line;
}

QIcon standardIcon(QStyle::StandardPixmap which) { return QApplication::style()->standardIcon(which); }

void clear(QLayout* layout) {
  while (auto* item = layout->takeAt(0)) {
    if (auto* w = item->widget()) w->deleteLater();
    delete item;
  }
}

// The small picture that stands for a device's platform.
QStyle::StandardPixmap platformIcon(const std::string& symbol) {
  if (symbol == "laptopcomputer") return QStyle::SP_ComputerIcon;
  if (symbol == "display") return QStyle::SP_DesktopIcon;
  return QStyle::SP_DriveNetIcon;  // the handheld devices
}

// The update badge: the icon theme's, else an arrow pointing up in a circle.
QIcon updateIcon() {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(10, 122, 255), 2.5));
  p.setBrush(Qt::NoBrush);
  p.drawEllipse(QRectF(3, 3, 26, 26));
  QPainterPath arrow;
  arrow.moveTo(16, 23);
  arrow.lineTo(16, 9.5);
  arrow.moveTo(10.5, 15);
  arrow.lineTo(16, 9.5);
  arrow.lineTo(21.5, 15);
  p.setPen(QPen(QColor(10, 122, 255), 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.drawPath(arrow);
  p.end();
  return QIcon::fromTheme("software-update-available", QIcon(pixmap));
}

void showQr(QLabel* label, QString& shown, const std::string& link) {
  const auto wanted = view::text(link);
  if (shown == wanted) return;
  shown = wanted;
  label->setPixmap(QPixmap::fromImage(qrCodeImage(link, kQrScale)));
}

}  // namespace

MenuPanel::MenuPanel(HostModel& model, Actions actions, QWidget* parent)
    : QWidget(parent), model_(model), actions_(std::move(actions)) {
  setObjectName("menuPanel");
  setWindowTitle("Ambrel Host");
  auto* layout = new QVBoxLayout(this);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  const QList<QWidget*> blocks = {makeHeader(),  makeAccessCode(), makePermissions(),
                                  makeClients(), nullptr,          makeSupport(),
                                  makeChat(),    makeReceivedFiles(), makeFooter()};
  for (auto* block : blocks) {
    if (block == nullptr) {
      sendFiles_ = new QPushButton(standardIcon(QStyle::SP_ArrowUp), "Send Files…", this);
      sendFiles_->setObjectName("sendFiles");
      connect(sendFiles_, &QPushButton::clicked, this, [this] {
        if (!actions_.chooseFiles) return;
        std::vector<std::filesystem::path> files;
        for (const auto& f : actions_.chooseFiles()) files.emplace_back(f.toStdString());
        if (!files.empty()) model_.sendFiles(std::move(files));
      });
      layout->addWidget(sendFiles_);
      continue;
    }
    layout->addWidget(block);
  }
  listener_ = model_.addListener([this] { update(); });
  update();
}

MenuPanel::~MenuPanel() { model_.removeListener(listener_); }

void MenuPanel::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // Opening the panel reads the chat.
  if (model_.snapshot().unreadChat > 0) model_.markChatRead();
}

QWidget* MenuPanel::makeHeader() {
  auto* block = new QWidget(this);
  block->setObjectName("header");
  auto* row = new QHBoxLayout(block);
  row->setContentsMargins(0, 0, 0, 0);
  auto* icon = new QLabel(block);
  icon->setPixmap(standardIcon(QStyle::SP_ComputerIcon).pixmap(24, 24));
  row->addWidget(icon);
  row->addWidget(view::heading("Ambrel Host", block));
  row->addStretch();
  dot_ = new QLabel(block);
  dot_->setObjectName("statusDot");
  dot_->setFixedSize(10, 10);
  row->addWidget(dot_);
  state_ = new QLabel(block);
  state_->setObjectName("state");
  row->addWidget(state_);
  return block;
}

QWidget* MenuPanel::makeAccessCode() {
  auto* block = new QWidget(this);
  block->setObjectName("accessCodeBlock");
  auto* column = new QVBoxLayout(block);
  column->setContentsMargins(0, 0, 0, 0);
  column->addWidget(separator(block));
  column->addWidget(view::note("Access code", block));
  code_ = new QLabel(block);
  code_->setObjectName("accessCode");
  auto font = code_->font();
  font.setFamily("monospace");
  font.setPointSizeF(font.pointSizeF() * 1.6);
  font.setBold(true);
  code_->setFont(font);
  code_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  column->addWidget(code_);
  auto* buttons = new QHBoxLayout;
  copy_ = new QPushButton("Copy", block);
  copy_->setObjectName("copyCode");
  connect(copy_, &QPushButton::clicked, this, [this] {
    QGuiApplication::clipboard()->setText(view::text(model_.snapshot().accessCode));
    copied_ = true;
    update();
    QTimer::singleShot(kCopiedMillis, this, [this] {
      copied_ = false;
      update();
    });
  });
  auto* renew = new QPushButton(standardIcon(QStyle::SP_BrowserReload), "New code", block);
  renew->setObjectName("newCode");
  connect(renew, &QPushButton::clicked, this, [this] { model_.regenerateAccessCode(); });
  buttons->addWidget(copy_);
  buttons->addWidget(renew);
  buttons->addStretch();
  column->addLayout(buttons);
  qr_ = new QLabel(block);
  qr_->setObjectName("pairingQr");
  qr_->setAlignment(Qt::AlignHCenter);
  column->addWidget(qr_);
  auto* caption = view::note("Scan with Ambrel on your device", block);
  caption->setAlignment(Qt::AlignHCenter);
  column->addWidget(caption);
  return block;
}

QWidget* MenuPanel::makePermissions() {
  permissions_ = new QWidget(this);
  permissions_->setObjectName("permissions");
  auto* column = new QVBoxLayout(permissions_);
  column->setContentsMargins(0, 0, 0, 0);
  column->addWidget(separator(permissions_));
  auto* title = new QHBoxLayout;
  auto* icon = new QLabel(permissions_);
  icon->setPixmap(standardIcon(QStyle::SP_MessageBoxWarning).pixmap(18, 18));
  title->addWidget(icon);
  title->addWidget(view::heading("Permissions needed", permissions_));
  title->addStretch();
  column->addLayout(title);
  auto row = [&](const QString& name, const QString& why, QLabel*& state) {
    auto* line = new QHBoxLayout;
    auto* text = new QVBoxLayout;
    text->addWidget(new QLabel(name, permissions_));
    text->addWidget(view::note(why, permissions_));
    line->addLayout(text, 1);
    state = new QLabel(permissions_);
    line->addWidget(state);
    column->addLayout(line);
  };
  row("Screen capture", "So viewers can see your screen", captureState_);
  row("Remote input", "So viewers can use mouse and keyboard", inputState_);
  captureState_->setObjectName("captureState");
  inputState_->setObjectName("inputState");
  return permissions_;
}

QWidget* MenuPanel::makeClients() {
  clientsBlock_ = new QWidget(this);
  clientsBlock_->setObjectName("clients");
  auto* column = new QVBoxLayout(clientsBlock_);
  column->setContentsMargins(0, 0, 0, 0);
  column->addWidget(separator(clientsBlock_));
  column->addWidget(view::heading("Connected", clientsBlock_));
  clientRows_ = new QVBoxLayout;
  column->addLayout(clientRows_);
  return clientsBlock_;
}

QWidget* MenuPanel::makeSupport() {
  auto* block = new QWidget(this);
  block->setObjectName("support");
  auto* column = new QVBoxLayout(block);
  column->setContentsMargins(0, 0, 0, 0);
  column->addWidget(separator(block));

  supportIdle_ = new QWidget(block);
  auto* idle = new QHBoxLayout(supportIdle_);
  idle->setContentsMargins(0, 0, 0, 0);
  idle->addWidget(new QLabel("Need help from someone?", supportIdle_), 1);
  auto* start = new QPushButton(standardIcon(QStyle::SP_DialogHelpButton), "Start Support", supportIdle_);
  start->setObjectName("startSupport");
  connect(start, &QPushButton::clicked, this, [this] { model_.startSupport(); });
  idle->addWidget(start);
  column->addWidget(supportIdle_);

  supportRunning_ = new QWidget(block);
  auto* running = new QVBoxLayout(supportRunning_);
  running->setContentsMargins(0, 0, 0, 0);
  running->addWidget(view::heading("Support session", supportRunning_));
  supportCode_ = new QLabel(supportRunning_);
  supportCode_->setObjectName("supportCode");
  auto font = supportCode_->font();
  font.setFamily("monospace");
  font.setPointSizeF(font.pointSizeF() * 1.4);
  font.setBold(true);
  supportCode_->setFont(font);
  supportCode_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  running->addWidget(supportCode_);
  running->addWidget(view::note("Give this one-time code to the person helping you. It stops working "
                                "when they leave.",
                                supportRunning_));
  supportQr_ = new QLabel(supportRunning_);
  supportQr_->setObjectName("supportQr");
  supportQr_->setAlignment(Qt::AlignHCenter);
  running->addWidget(supportQr_);
  auto* caption = view::note("Scan this one-time code — not the everyday access code", supportRunning_);
  caption->setAlignment(Qt::AlignHCenter);
  running->addWidget(caption);
  auto* buttons = new QHBoxLayout;
  auto* clearDrawings = new QPushButton(standardIcon(QStyle::SP_DialogResetButton), "Clear Drawings",
                                        supportRunning_);
  clearDrawings->setObjectName("clearDrawings");
  connect(clearDrawings, &QPushButton::clicked, this,
          [this] { model_.perform([](HostController& host) { host.clearAnnotations(); }); });
  auto* end = new QPushButton("End Support Session", supportRunning_);
  end->setObjectName("endSupport");
  connect(end, &QPushButton::clicked, this, [this] { model_.endSupport(); });
  buttons->addWidget(clearDrawings);
  buttons->addWidget(end);
  running->addLayout(buttons);
  column->addWidget(supportRunning_);
  return block;
}

QWidget* MenuPanel::makeChat() {
  auto* block = new QWidget(this);
  block->setObjectName("chat");
  auto* column = new QVBoxLayout(block);
  column->setContentsMargins(0, 0, 0, 0);
  column->addWidget(separator(block));
  chatTitle_ = view::heading("Chat", block);
  chatTitle_->setObjectName("chatTitle");
  column->addWidget(chatTitle_);
  chatRows_ = new QVBoxLayout;
  column->addLayout(chatRows_);
  auto* line = new QHBoxLayout;
  draft_ = new QLineEdit(block);
  draft_->setObjectName("chatDraft");
  draft_->setPlaceholderText("Message");
  connect(draft_, &QLineEdit::returnPressed, this, [this] { sendDraft(); });
  auto* send = new QToolButton(block);
  send->setObjectName("sendChat");
  send->setIcon(standardIcon(QStyle::SP_ArrowUp));
  send->setText("Send");
  send->setToolTip("Send");
  send->setAccessibleName("Send");
  connect(send, &QToolButton::clicked, this, [this] { sendDraft(); });
  line->addWidget(draft_, 1);
  line->addWidget(send);
  column->addLayout(line);
  return block;
}

QWidget* MenuPanel::makeReceivedFiles() {
  filesBlock_ = new QWidget(this);
  filesBlock_->setObjectName("receivedFiles");
  auto* column = new QVBoxLayout(filesBlock_);
  column->setContentsMargins(0, 0, 0, 0);
  column->addWidget(separator(filesBlock_));
  column->addWidget(view::heading("Received files", filesBlock_));
  fileRows_ = new QVBoxLayout;
  column->addLayout(fileRows_);
  return filesBlock_;
}

QWidget* MenuPanel::makeFooter() {
  auto* block = new QWidget(this);
  block->setObjectName("footer");
  auto* column = new QVBoxLayout(block);
  column->setContentsMargins(0, 0, 0, 0);
  column->addWidget(separator(block));
  lastError_ = new QLabel(block);
  lastError_->setObjectName("lastError");
  lastError_->setWordWrap(true);
  column->addWidget(lastError_);
  auto* buttons = new QHBoxLayout;
  // A newer version is out: the badge asks again, and the answer offers the download.
  updateBadge_ = new QToolButton(block);
  updateBadge_->setObjectName("updateBadge");
  updateBadge_->setIcon(updateIcon());
  updateBadge_->setIconSize(QSize(20, 20));
  updateBadge_->setAutoRaise(true);
  updateBadge_->setToolTip("A newer version of Ambrel Host is available");
  updateBadge_->setAccessibleName("Update available");
  connect(updateBadge_, &QToolButton::clicked, this, [this] { model_.checkForUpdates(); });
  buttons->addWidget(updateBadge_);
  auto* settings = new QPushButton("Settings…", block);
  settings->setObjectName("openSettings");
  settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
  settings->setToolTip("Ctrl+,");
  connect(settings, &QPushButton::clicked, this, [this] {
    if (actions_.openSettings) actions_.openSettings();
  });
  auto* quit = new QPushButton("Quit Ambrel", block);
  quit->setObjectName("quit");
  quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  quit->setToolTip("Ctrl+Q");
  connect(quit, &QPushButton::clicked, this, [this] {
    if (actions_.quit) actions_.quit();
  });
  buttons->addWidget(settings);
  buttons->addStretch();
  buttons->addWidget(quit);
  column->addLayout(buttons);
  return block;
}

void MenuPanel::sendDraft() {
  const auto text = draft_->text().trimmed();
  if (text.isEmpty()) return;
  model_.sendChat(text.toStdString());
  draft_->clear();
}

void MenuPanel::update() {
  const auto& s = model_.snapshot();
  state_->setText(s.isStreaming ? "Streaming" : "Idle");
  dot_->setStyleSheet(QString("border-radius: 5px; background: %1;")
                          .arg(s.isStreaming ? "#2fb344" : "#9a9a9a"));

  code_->setText(view::text(s.accessCode));
  copy_->setText(copied_ ? "Copied" : "Copy");
  copy_->setIcon(copied_ ? standardIcon(QStyle::SP_DialogApplyButton) : QIcon());
  showQr(qr_, qrLink_, s.pairingLink);

  permissions_->setVisible(!(s.screenRecordingGranted && s.accessibilityGranted));
  captureState_->setText(s.screenRecordingGranted ? "✓" : "No display server");
  inputState_->setText(s.accessibilityGranted ? "✓" : "XTEST missing");

  updateClients();
  sendFiles_->setEnabled(s.anyoneConnected());

  supportIdle_->setVisible(!s.supportCode);
  supportRunning_->setVisible(s.supportCode.has_value());
  if (s.supportCode) {
    supportCode_->setText(view::text(*s.supportCode));
    showQr(supportQr_, supportQrLink_, s.supportPairingLink);
  } else {
    supportQrLink_.clear();
    supportQr_->clear();
  }

  updateChat();
  updateReceivedFiles();

  lastError_->setVisible(s.lastError.has_value());
  if (s.lastError) lastError_->setText("⚠ " + view::text(*s.lastError));
  updateBadge_->setVisible(s.update.kind == UpdateStatus::Kind::available);
}

void MenuPanel::updateClients() {
  const auto& s = model_.snapshot();
  clear(clientRows_);
  clientsBlock_->setVisible(!s.clients.empty());
  for (const auto& c : s.clients) {
    const auto id = view::text(c.id.string());
    const auto name = view::text(c.name);
    auto* row = new QWidget(clientsBlock_);
    row->setObjectName("client:" + id);
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    auto* icon = new QLabel(row);
    icon->setPixmap(standardIcon(platformIcon(c.symbol)).pixmap(20, 20));
    line->addWidget(icon);
    auto* text = new QVBoxLayout;
    text->addWidget(new QLabel(name, row));
    QString status;
    if (!c.authorized) {
      status = "Waiting for approval";
    } else if (c.isScreenSharer) {
      status = "Sharing their screen · since " + view::shortTime(c.connectedAt);
    } else {
      status = QString(c.canControl ? "Controlling" : "Viewing") + " · since " +
               view::shortTime(c.connectedAt);
    }
    auto* statusLabel = view::note(status, row);
    statusLabel->setObjectName("clientStatus");
    text->addWidget(statusLabel);
    line->addLayout(text, 1);
    if (c.authorized && !c.isScreenSharer) {
      auto* control = new QToolButton(row);
      control->setObjectName("control:" + id);
      control->setText(c.canControl ? "Control" : "View only");
      control->setCheckable(true);
      control->setChecked(c.canControl);
      control->setToolTip(c.canControl ? "Can control · click to make view-only"
                                       : "View only · click to allow control");
      control->setAccessibleName(c.canControl ? "Make " + name + " view-only"
                                              : "Let " + name + " control");
      connect(control, &QToolButton::clicked, this,
              [this, id = c.id, on = !c.canControl] { model_.setCanControl(id, on); });
      line->addWidget(control);
    }
    auto* disconnect = new QToolButton(row);
    disconnect->setObjectName("disconnect:" + id);
    disconnect->setIcon(standardIcon(QStyle::SP_DialogCloseButton));
    disconnect->setText("Disconnect");
    disconnect->setToolTip("Disconnect");
    disconnect->setAccessibleName("Disconnect " + name);
    connect(disconnect, &QToolButton::clicked, this, [this, id = c.id] { model_.disconnect(id); });
    line->addWidget(disconnect);
    clientRows_->addWidget(row);
  }
}

void MenuPanel::updateChat() {
  const auto& s = model_.snapshot();
  chatTitle_->setText(s.unreadChat > 0 ? QString("Chat (%1)").arg(s.unreadChat) : "Chat");
  clear(chatRows_);
  for (const auto& row : s.chat) {
    const auto sender = row.fromHost ? QString("You") : view::text(row.message.sender);
    auto* label = new QLabel("<b>" + sender.toHtmlEscaped() + "</b>  " +
                                 view::text(row.message.text).toHtmlEscaped(),
                             this);
    label->setTextFormat(Qt::RichText);
    label->setWordWrap(true);
    label->setObjectName("chatMessage");
    chatRows_->addWidget(label);
  }
}

void MenuPanel::updateReceivedFiles() {
  const auto& s = model_.snapshot();
  clear(fileRows_);
  filesBlock_->setVisible(!s.receivedFiles.empty());
  for (const auto& file : s.receivedFiles) {
    auto* row = new QWidget(filesBlock_);
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    auto* text = new QVBoxLayout;
    text->addWidget(new QLabel(view::text(file.url.filename().string()), row));
    text->addWidget(view::note("From " + view::text(file.from) + " · " + view::shortTime(file.date), row));
    line->addLayout(text, 1);
    auto* show = new QPushButton(standardIcon(QStyle::SP_DirOpenIcon), "Show in folder", row);
    connect(show, &QPushButton::clicked, this, [folder = file.url.parent_path()] {
      QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(folder.string())));
    });
    line->addWidget(show);
    fileRows_->addWidget(row);
  }
}

}  // namespace ambrel
