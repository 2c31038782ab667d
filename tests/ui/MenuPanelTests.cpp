#include <fstream>

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <gtest/gtest.h>

#include "CorvelKit/protocol/ChatMessage.h"
#include "CorvelKit/protocol/SessionPermissions.h"
#include "tests/ui/DesktopRig.h"

namespace ambrel::test {
namespace {

using corvel::protocol::MessageType;
using corvel::protocol::SessionPermissions;

QString q(const std::string& s) { return QString::fromStdString(s); }

TEST(MenuPanelTest, CopyPutsTheCodeOnTheClipboardAndNewCodeReplacesIt) {
  DesktopRig d;
  auto& panel = d.shell->panel();
  const auto before = d.rig.host->accessCode();
  auto* code = d.find<QLabel>(panel, "accessCode");
  ASSERT_NE(code, nullptr);
  EXPECT_EQ(code->text(), q(before));

  auto* copy = d.find<QPushButton>(panel, "copyCode");
  d.click(copy);
  EXPECT_EQ(QApplication::clipboard()->text(), q(before));
  EXPECT_EQ(copy->text(), "Copied");
  // "Copied" is only for a moment.
  QTest::qWait(1700);
  d.pump();
  EXPECT_EQ(copy->text(), "Copy");

  auto phone = d.rig.join("Phone");
  ASSERT_TRUE(phone.client->authorized());
  d.click(d.find<QPushButton>(panel, "newCode"));
  const auto after = d.rig.host->accessCode();
  EXPECT_NE(after, before);
  EXPECT_EQ(code->text(), q(after));
  // A new code sends everyone away.
  EXPECT_EQ(phone.connection->byeReason(), "The access code was changed.");
}

TEST(MenuPanelTest, TheControlSwitchAndDisconnectActOnThatClientOnly) {
  DesktopRig d;
  auto& panel = d.shell->panel();
  auto* sendFiles = d.find<QPushButton>(panel, "sendFiles");
  EXPECT_FALSE(sendFiles->isEnabled());

  auto phone = d.rig.join("Phone");
  auto pad = d.rig.join("Pad");
  d.pump();
  EXPECT_TRUE(sendFiles->isEnabled());
  const auto phoneID = q(phone.client->id().string());

  auto* control = d.find<QToolButton>(panel, "control:" + phoneID);
  ASSERT_NE(control, nullptr);
  EXPECT_TRUE(control->isChecked());
  EXPECT_EQ(control->toolTip(), "Can control · click to make view-only");
  EXPECT_EQ(control->accessibleName(), "Make Phone view-only");

  d.click(control);
  EXPECT_FALSE(phone.client->canControl());
  EXPECT_TRUE(pad.client->canControl());
  auto permissions = phone.connection->last<SessionPermissions>(MessageType::permissions);
  ASSERT_TRUE(permissions);
  EXPECT_FALSE(permissions->canControl);
  // The row is drawn anew from the host's state.
  control = d.find<QToolButton>(panel, "control:" + phoneID);
  ASSERT_NE(control, nullptr);
  EXPECT_FALSE(control->isChecked());
  EXPECT_EQ(control->toolTip(), "View only · click to allow control");
  EXPECT_EQ(control->accessibleName(), "Let Phone control");
  // A view-only device isn't called controlling.
  auto* row = d.find<QWidget>(panel, "client:" + phoneID);
  ASSERT_NE(row, nullptr);
  EXPECT_TRUE(row->findChild<QLabel*>("clientStatus")->text().startsWith("Viewing · since "));

  d.click(control);
  EXPECT_TRUE(phone.client->canControl());

  d.click(d.find<QToolButton>(panel, "disconnect:" + phoneID));
  EXPECT_EQ(phone.connection->byeReason(), "Disconnected by the host.");
  EXPECT_FALSE(pad.connection->byeReason());
}

TEST(MenuPanelTest, SendFilesOffersTheChosenFilesToEveryone) {
  DesktopRig d;
  auto phone = d.rig.join("Phone");
  const auto file = d.historyFolder.path() / "notes.txt";
  { std::ofstream(file) << "hello"; }
  d.filesToSend = {q(file.string())};
  d.pump();
  d.click(d.find<QPushButton>(d.shell->panel(), "sendFiles"));
  // The file is read on a queue of its own.
  for (int i = 0; i < 100 && phone.connection->count(MessageType::fileOffer) == 0; ++i) {
    QTest::qWait(20);
    d.pump();
  }
  EXPECT_EQ(phone.connection->count(MessageType::fileOffer), 1);
}

TEST(MenuPanelTest, ChatSendsTheDraftAndOnlyTheHostsOwnMessagesReadYou) {
  DesktopRig d;
  auto& panel = d.shell->panel();
  // A device that calls itself by this computer's name.
  auto impostor = d.rig.join(d.rig.host->computerName());
  corvel::protocol::ChatMessage theirs{corvel::UUID::random(), "hi from me", "whatever", {}};
  impostor.connection->deliverJSON(MessageType::chat, theirs);
  d.pump();

  auto* draft = d.find<QLineEdit>(panel, "chatDraft");
  QTest::keyClicks(draft, "hello there");
  QTest::keyClick(draft, Qt::Key_Return);
  d.pump();
  EXPECT_TRUE(draft->text().isEmpty());
  ASSERT_EQ(d.rig.host->chat().size(), 2u);
  EXPECT_EQ(d.rig.host->chat()[1].text, "hello there");
  EXPECT_EQ(impostor.connection->count(MessageType::chat), 1);

  auto messages = panel.findChildren<QLabel*>("chatMessage");
  ASSERT_EQ(messages.size(), 2);
  EXPECT_FALSE(messages[0]->text().startsWith("<b>You</b>")) << messages[0]->text().toStdString();
  EXPECT_TRUE(messages[1]->text().startsWith("<b>You</b>")) << messages[1]->text().toStdString();
}

TEST(MenuPanelTest, SupportBlockShowsTheOneTimeCodeWhileTheSessionRuns) {
  DesktopRig d;
  auto& panel = d.shell->panel();
  auto* start = d.find<QPushButton>(panel, "startSupport");
  auto* code = d.find<QLabel>(panel, "supportCode");
  EXPECT_TRUE(start->isVisible());
  EXPECT_FALSE(code->isVisible());

  d.click(start);
  ASSERT_TRUE(d.rig.host->supportCode());
  EXPECT_FALSE(start->isVisible());
  EXPECT_TRUE(code->isVisible());
  EXPECT_EQ(code->text(), q(*d.rig.host->supportCode()));
  EXPECT_FALSE(d.find<QLabel>(panel, "supportQr")->pixmap().isNull());

  d.click(d.find<QPushButton>(panel, "endSupport"));
  EXPECT_FALSE(d.rig.host->supportCode());
  EXPECT_TRUE(start->isVisible());
}

TEST(MenuPanelTest, QuitAndSettingsAreReachedByButtonAndShortcut) {
  DesktopRig d;
  auto& panel = d.shell->panel();
  d.click(d.find<QPushButton>(panel, "openSettings"));
  EXPECT_TRUE(d.shell->settings().isVisible());
  d.click(d.find<QPushButton>(panel, "quit"));
  EXPECT_EQ(d.quitRequests, 1);
  EXPECT_EQ(d.find<QPushButton>(panel, "quit")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
  EXPECT_EQ(d.find<QPushButton>(panel, "openSettings")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Comma));
}

}  // namespace
}  // namespace ambrel::test
