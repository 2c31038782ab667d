#include "Ambrel_Host/ui/ApprovalDialog.h"

#include <QApplication>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include "Ambrel_Host/ui/ViewText.h"

namespace ambrel {

namespace {
QString platformName(corvel::protocol::ClientPlatform platform) {
  using corvel::protocol::ClientPlatform;
  switch (platform) {
    case ClientPlatform::mac: return "Mac";
    case ClientPlatform::iPhone: return "iPhone";
    case ClientPlatform::iPad: return "iPad";
    case ClientPlatform::vision: return "Vision Pro";
    case ClientPlatform::watch: return "Apple Watch";
    case ClientPlatform::unknown: break;
  }
  return "Unknown";
}
}  // namespace

QString ApprovalDialog::title(const ClientRow& client) {
  const auto name = view::text(client.name);
  return client.isScreenSharer ? "Show " + name + "'s screen on this computer?"
                               : "Allow " + name + " to control this computer?";
}

QString ApprovalDialog::message(const ClientRow& client) {
  return client.isScreenSharer
             ? "They entered the correct access code and want to share their screen with you. They "
               "won't see or control this computer."
             : "They entered the correct access code. They will see your screen and be able to use "
               "your mouse and keyboard.";
}

ApprovalDialog::ApprovalDialog(const ClientRow& client, Answer answer, QWidget* parent)
    : QDialog(parent), clientID_(client.id) {
  setObjectName("approvalDialog");
  setWindowTitle("Ambrel Host");
  setWindowFlag(Qt::WindowStaysOnTopHint);
  setAttribute(Qt::WA_DeleteOnClose);

  auto* layout = new QVBoxLayout(this);
  auto* top = new QHBoxLayout;
  auto* icon = new QLabel(this);
  icon->setPixmap(QApplication::style()->standardIcon(QStyle::SP_MessageBoxQuestion).pixmap(48, 48));
  icon->setAlignment(Qt::AlignTop);
  top->addWidget(icon);
  auto* text = new QVBoxLayout;
  auto* heading = view::heading(title(client), this);
  heading->setObjectName("approvalTitle");
  heading->setWordWrap(true);
  text->addWidget(heading);
  auto* body = new QLabel(message(client), this);
  body->setObjectName("approvalMessage");
  body->setWordWrap(true);
  text->addWidget(body);
  auto* details = new QFormLayout;
  details->addRow("Device", new QLabel(view::text(client.name), this));
  details->addRow("Platform", new QLabel(platformName(client.platform), this));
  auto* fingerprint = new QLabel(client.fingerprint ? view::text(*client.fingerprint) : QString("Unknown"), this);
  fingerprint->setObjectName("approvalFingerprint");
  fingerprint->setTextInteractionFlags(Qt::TextSelectableByMouse);
  details->addRow("Security ID", fingerprint);
  text->addLayout(details);
  top->addLayout(text, 1);
  layout->addLayout(top);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  auto add = [&](const QString& label, const char* name, ApprovalAnswer a) {
    auto* button = new QPushButton(label, this);
    button->setObjectName(name);
    button->setAutoDefault(false);
    connect(button, &QPushButton::clicked, this, [this, answer, a] {
      answer(a);
      accept();
    });
    buttons->addWidget(button);
    return button;
  };
  add("Allow", "allow", ApprovalAnswer::allow)->setDefault(true);
  add("Always Allow This Device", "alwaysAllow", ApprovalAnswer::alwaysAllow);
  add("Deny", "deny", ApprovalAnswer::deny);
  layout->addLayout(buttons);
  setMinimumWidth(460);
}

}  // namespace ambrel
