#include <QLabel>
#include <QPushButton>
#include <gtest/gtest.h>

#include "tests/ui/DesktopRig.h"

namespace ambrel::test {
namespace {

const std::string kPhone = "AAAA 1111 AAAA 1111 AAAA 1111 AAAA 1111";

// Each answer in the dialog reaches admission as the same answer from the command line would.
TEST(ApprovalDialogTest, EachAnswerReachesAdmission) {
  struct Case {
    const char* button;
    bool admitted;
    bool trusted;
    std::optional<std::string> bye;
  };
  const Case cases[] = {
      {"allow", true, false, std::nullopt},
      {"alwaysAllow", true, true, std::nullopt},
      {"deny", false, false, "The Mac's owner declined the connection."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.button);
    DesktopRig d;
    ASSERT_FALSE(d.rig.host->set(Setting::askBeforeConnecting, true));
    auto phone = d.rig.join("Phone", kPhone);
    d.pump();
    auto* dialog = d.shell->approval();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_TRUE(dialog->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(d.find<QLabel>(*dialog, "approvalTitle")->text(), "Allow Phone to control this computer?");
    EXPECT_EQ(d.find<QLabel>(*dialog, "approvalFingerprint")->text(), QString::fromStdString(kPhone));

    d.click(d.find<QPushButton>(*dialog, c.button));
    EXPECT_EQ(phone.client->authorized(), c.admitted);
    EXPECT_EQ(!d.rig.host->trustedDevices().empty(), c.trusted);
    EXPECT_EQ(phone.connection->byeReason(), c.bye);
    EXPECT_EQ(d.shell->approval(), nullptr);
    if (!c.admitted) {
      ASSERT_FALSE(d.history->entries().empty());
      EXPECT_EQ(d.history->entries().front().kind, SessionHistory::Kind::declined);
    }
  }
}

TEST(ApprovalDialogTest, TheQuestionGoesWhenAnsweredElsewhereOrTheDeviceLeavesAndTheNextOneIsAsked) {
  DesktopRig d;
  ASSERT_FALSE(d.rig.host->set(Setting::askBeforeConnecting, true));
  auto phone = d.rig.join("Phone", kPhone);
  auto pad = d.rig.join("Pad");
  auto sharer = d.rig.join("Tablet", std::nullopt, KeySource::accessCode, {},
                           corvel::protocol::ClientRole::screenSharer);
  d.pump();
  ASSERT_NE(d.shell->approval(), nullptr);
  EXPECT_EQ(d.shell->approval()->clientID(), phone.client->id());

  // Answered from the command line: the dialog goes and the next device is asked.
  ASSERT_TRUE(d.rig.host->answerApproval(phone.client->id(), ApprovalAnswer::allow));
  d.pump();
  ASSERT_NE(d.shell->approval(), nullptr);
  EXPECT_EQ(d.shell->approval()->clientID(), pad.client->id());

  // The device gave up waiting: its question goes, the answer can't be given any more.
  pad.connection->hangUp();
  d.pump();
  ASSERT_NE(d.shell->approval(), nullptr);
  EXPECT_EQ(d.shell->approval()->clientID(), sharer.client->id());
  EXPECT_EQ(d.find<QLabel>(*d.shell->approval(), "approvalTitle")->text(),
            "Show Tablet's screen on this computer?");

  // Escape doesn't answer.
  d.shell->approval()->close();
  d.pump();
  ASSERT_NE(d.shell->approval(), nullptr);
  EXPECT_TRUE(d.shell->approval()->isVisible());
}

}  // namespace
}  // namespace ambrel::test
