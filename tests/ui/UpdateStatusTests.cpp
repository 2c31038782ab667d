#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <gtest/gtest.h>

#include "Ambrel_Host/shell/HostVersion.h"
#include "Ambrel_Host/ui/AboutPane.h"
#include "tests/ui/DesktopRig.h"

namespace ambrel::test {
namespace {

using Kind = UpdateStatus::Kind;

constexpr const char* kNewer = R"({"shortVersion": "2.4", "build": 240, "url": "https://example.net/Ambrel-2.4.dmg"})";
constexpr const char* kSame = R"({"shortVersion": "1.0", "build": 100, "url": "https://example.net/Ambrel-1.0.dmg"})";

// The About pane's update row and the panel's badge, after a check the pane's button started: the
// pane follows each status as it comes, the badge shows only for a newer version, and the check
// (one the person asked for) answers with its alert.
TEST(UpdateStatusTest, AboutPaneAndBadgeFollowTheCheckStartedFromThePane) {
  struct Case {
    const char* name;
    int status;  // of the feed's answer; 0: none yet
    const char* body;
    Kind kind;
    QString aboutText;
    bool badge;
    UpdateAlert::Kind alert;
  };
  const Case cases[] = {
      {"up to date", 200, kSame, Kind::upToDate, "Up to date", false, UpdateAlert::Kind::upToDate},
      {"newer", 200, kNewer, Kind::available, "Version 2.4 available", true, UpdateAlert::Kind::update},
      {"missing", 404, "", Kind::failed, "Check failed", false, UpdateAlert::Kind::failure},
      {"malformed", 200, "{\"build\": ", Kind::failed, "Check failed", false, UpdateAlert::Kind::failure},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DesktopRig d;
    auto& window = d.shell->settings();
    auto* state = d.find<QLabel>(window, "updateState");
    auto* check = d.find<QPushButton>(window, "checkForUpdates");
    auto* badge = d.find<QToolButton>(d.shell->panel(), "updateBadge");
    ASSERT_TRUE(state && check && badge);
    // Before any check: no state, no badge.
    EXPECT_EQ(state->text(), "");
    EXPECT_TRUE(badge->isHidden());

    d.feed.answer("/feed.json", c.status, c.body);
    ASSERT_TRUE(check->isEnabled());
    check->click();
    d.pump();
    EXPECT_EQ(d.finishUpdateCheck().kind, c.kind);
    EXPECT_EQ(state->text(), c.aboutText);
    EXPECT_EQ(badge->isHidden(), !c.badge);
    ASSERT_EQ(d.updateAlerts.size(), 1u);
    EXPECT_EQ(d.updateAlerts[0].kind, c.alert);
  }
}

TEST(UpdateStatusTest, AboutPaneShowsCheckingWhileTheServerIsSilent) {
  corvel::test::LocalWebServer silent(corvel::test::LocalWebServer::Mode::silent);
  DesktopRig d;
  d.updates->setFeedURL(silent.url("/feed.json"));
  auto* state = d.find<QLabel>(d.shell->settings(), "updateState");
  d.click(d.find<QPushButton>(d.shell->settings(), "checkForUpdates"));
  EXPECT_EQ(state->text(), "Checking…");
  EXPECT_TRUE(d.find<QToolButton>(d.shell->panel(), "updateBadge")->isHidden());
}

TEST(UpdateStatusTest, VersionRowShowsVersionAndBuild) {
  DesktopRig d;
  auto* version = d.find<QLabel>(d.shell->settings(), "version");
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(version->text().toStdString(), std::string(hostVersion()) + " (" + std::string(hostBuild()) + ")");
}

// An automatic check keeps quiet about a skipped build but still shows the badge; the badge asks
// again as the person would, and that answer offers the download.
TEST(UpdateStatusTest, BadgeStartsACheckWhoseAlertOffersTheDownload) {
  DesktopRig d;
  d.feed.answer("/feed.json", 200, kNewer);
  d.updates->skip(240);
  d.updates->check(false);
  EXPECT_EQ(d.finishUpdateCheck(), UpdateStatus::available("2.4"));
  EXPECT_TRUE(d.updateAlerts.empty());
  auto* badge = d.find<QToolButton>(d.shell->panel(), "updateBadge");
  ASSERT_FALSE(badge->isHidden());

  d.updateAnswer = 0;  // "Download Update"
  d.click(badge);
  d.finishUpdateCheck();
  ASSERT_EQ(d.updateAlerts.size(), 1u);
  EXPECT_EQ(d.updateAlerts[0].buttons[0], "Download Update");
  EXPECT_EQ(d.opened, std::vector<std::string>{"https://example.net/Ambrel-2.4.dmg"});
  EXPECT_EQ(d.feed.requestCount(), 2);
}

// The alert on screen: the checker's texts and buttons in their order, and the chosen button
// goes back to the checker.
TEST(UpdateStatusTest, AlertOnScreenPassesTheChosenButtonBack) {
  DesktopRig d(true);
  // A version text that looks like markup stays text.
  d.feed.answer("/feed.json", 200, R"({"shortVersion": "<b>2.5</b>", "build": 250, "url": "https://e.net/a.dmg"})");
  d.click(d.find<QPushButton>(d.shell->settings(), "checkForUpdates"));
  d.finishUpdateCheck();
  QMessageBox* box = nullptr;
  for (auto* w : QApplication::topLevelWidgets()) {
    if (w->objectName() == "updateAlert" && w->isVisible()) box = qobject_cast<QMessageBox*>(w);
  }
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->text(), "Ambrel Host <b>2.5</b> is available");
  EXPECT_EQ(box->textFormat(), Qt::PlainText);
  QStringList buttons;
  QAbstractButton* skip = nullptr;
  for (auto* b : box->buttons()) {
    buttons << b->text();
    if (b->text() == "Skip This Version") skip = b;
  }
  EXPECT_EQ(buttons.size(), 3);
  EXPECT_TRUE(buttons.contains("Download Update") && buttons.contains("Remind Me Later"));
  ASSERT_NE(skip, nullptr);
  EXPECT_EQ(d.updates->skippedBuild(), 0);
  d.click(skip);
  EXPECT_EQ(d.updates->skippedBuild(), 250);
  EXPECT_TRUE(d.opened.empty());
  EXPECT_EQ(d.find<QLabel>(d.shell->settings(), "updateState")->text(), "Version <b>2.5</b> available");
}

}  // namespace
}  // namespace ambrel::test
