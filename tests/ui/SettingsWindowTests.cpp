#include <fstream>
#include <iterator>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <gtest/gtest.h>

#include "Ambrel_Host/controller/HostContext.h"
#include "Ambrel_Host/controller/HostSettings.h"
#include "Ambrel_Host/shell/AutostartEntry.h"
#include "tests/ui/DesktopRig.h"

namespace ambrel::test {
namespace {

// The settings as a later run reads them from the store's file.
HostSettings reread(DesktopRig& d) {
  return HostSettings(std::make_shared<corvel::Defaults>(d.rig.host->settings().defaults().file()));
}

TEST(SettingsWindowTest, HasTheSixPanesInOrder) {
  DesktopRig d;
  auto* tabs = d.shell->settings().tabs();
  QStringList titles;
  for (int i = 0; i < tabs->count(); ++i) titles << tabs->tabText(i);
  EXPECT_EQ(titles, QStringList({"General", "Security", "Picture", "Network", "History", "About"}));
}

TEST(SettingsWindowTest, SwitchesWriteTheSettingsStoreAndFollowChangesMadeElsewhere) {
  const Setting flags[] = {Setting::askBeforeConnecting, Setting::lockWhenSessionEnds, Setting::blankScreen,
                           Setting::shareClipboard,      Setting::shareSound,          Setting::browserAccess,
                           Setting::highFrameRate,       Setting::preferHEVC,          Setting::preferHDR};
  DesktopRig d;
  auto& window = d.shell->settings();
  window.show();
  for (auto setting : flags) {
    const auto key = SettingsTable::spec(setting).key;
    SCOPED_TRACE(std::string(key));
    auto* box = d.find<QCheckBox>(window, QString::fromUtf8(key));
    ASSERT_NE(box, nullptr);
    const bool before = d.rig.host->settings().flag(setting);
    EXPECT_EQ(box->isChecked(), before);
    box->click();
    d.pump();
    EXPECT_EQ(d.rig.host->settings().flag(setting), !before);
    EXPECT_EQ(reread(d).flag(setting), !before);
    // The command line changes it back: the switch follows.
    ASSERT_FALSE(d.rig.host->set(setting, before));
    d.pump();
    EXPECT_EQ(box->isChecked(), before);
  }
}

TEST(SettingsWindowTest, PickersStoreTheirValues) {
  DesktopRig d;
  auto& window = d.shell->settings();
  auto* idle = d.find<QComboBox>(window, "idleTimeoutMinutes");
  ASSERT_NE(idle, nullptr);
  QStringList choices;
  for (int i = 0; i < idle->count(); ++i) choices << idle->itemText(i);
  EXPECT_EQ(choices, QStringList({"Never", "After 5 minutes", "After 15 minutes", "After 30 minutes",
                                  "After 60 minutes", "After 120 minutes"}));
  idle->activated(idle->findText("After 30 minutes"));
  d.pump();
  EXPECT_EQ(reread(d).idleTimeoutMinutes(), 30);
  idle->activated(idle->findText("Never"));
  d.pump();
  EXPECT_EQ(reread(d).idleTimeoutMinutes(), 0);

  auto* quality = d.find<QComboBox>(window, "quality");
  quality->activated(quality->findText("Sharp"));
  d.pump();
  EXPECT_EQ(reread(d).quality(), StreamQuality::sharp);
}

TEST(SettingsWindowTest, OpenAtLoginWritesAndRemovesTheAutostartEntry) {
  DesktopRig d;
  const auto entry = d.historyFolder.path() / "autostart" / "ambrel-host.desktop";
  d.rig.host->context().services.loginItem = std::make_shared<AutostartEntry>(entry, "/opt/ambrel host/ambrel-host");
  d.rig.host->setLaunchAtLogin(false);
  d.pump();
  auto* box = d.find<QCheckBox>(d.shell->settings(), "launchAtLogin");
  EXPECT_FALSE(box->isChecked());
  box->click();
  d.pump();
  ASSERT_TRUE(std::filesystem::exists(entry));
  std::ifstream in(entry);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("Exec=\"/opt/ambrel host/ambrel-host\"\n"), std::string::npos) << text;
  EXPECT_TRUE(box->isChecked());
  box->click();
  d.pump();
  EXPECT_FALSE(std::filesystem::exists(entry));
  EXPECT_FALSE(box->isChecked());
}

TEST(SettingsWindowTest, StatusAndTrustedDevicesFollowTheHost) {
  DesktopRig d;
  auto& window = d.shell->settings();
  auto* status = d.find<QLabel>(window, "connectionStatus");
  EXPECT_EQ(status->text(), "No one connected");
  auto phone = d.rig.join("Phone");
  auto pad = d.rig.join("Pad");
  d.pump();
  EXPECT_EQ(status->text(), "2 connected");

  const std::string id = "CCCC 3333 CCCC 3333 CCCC 3333 CCCC 3333";
  d.rig.host->admission().trustDevice({id, "Laptop", {}});
  d.pump();
  auto* forget = d.find<QPushButton>(window, "forget:" + QString::fromStdString(id));
  ASSERT_NE(forget, nullptr);
  d.click(forget);
  EXPECT_TRUE(d.rig.host->trustedDevices().empty());
}

TEST(SettingsWindowTest, HistoryFiltersAndClearingKeepTheSessionsInProgress) {
  DesktopRig d;
  ASSERT_FALSE(d.rig.host->set(Setting::askBeforeConnecting, true));
  auto phone = d.rig.join("Phone");
  ASSERT_TRUE(d.rig.host->answerApproval(phone.client->id(), ApprovalAnswer::allow));
  auto stranger = d.rig.join("Stranger");
  ASSERT_TRUE(d.rig.host->answerApproval(stranger.client->id(), ApprovalAnswer::deny));
  d.rig.host->admission().recordWrongCode("192.168.1.77");
  d.pump();

  auto& window = d.shell->settings();
  auto* filter = d.find<QComboBox>(window, "historyFilter");
  auto* list = d.find<QListWidget>(window, "historyList");
  QStringList titles;
  for (int i = 0; i < filter->count(); ++i) titles << filter->itemText(i);
  EXPECT_EQ(titles, QStringList({"Everything", "Sessions", "Declined & wrong codes"}));

  struct Case {
    const char* filter;
    QStringList starts;
  };
  const Case cases[] = {
      {"Everything", {"Unknown device", "Stranger", "Phone"}},
      {"Sessions", {"Phone"}},
      {"Declined & wrong codes", {"Unknown device", "Stranger"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.filter);
    filter->setCurrentIndex(filter->findText(c.filter));
    d.pump();
    QStringList shown;
    for (int i = 0; i < list->count(); ++i) shown << list->item(i)->text().section(" — ", 0, 0);
    EXPECT_EQ(shown, c.starts);
  }
  filter->setCurrentIndex(0);
  d.pump();
  EXPECT_TRUE(list->item(2)->text().contains("Connected now · since")) << list->item(2)->text().toStdString();

  d.confirmClear = false;
  d.click(d.find<QPushButton>(window, "clearHistory"));
  EXPECT_EQ(d.history->entries().size(), 3u);
  d.confirmClear = true;
  d.click(d.find<QPushButton>(window, "clearHistory"));
  ASSERT_EQ(d.history->entries().size(), 1u);
  EXPECT_EQ(d.history->entries().front().device, "Phone");
  EXPECT_EQ(list->count(), 1);

  phone.connection->hangUp();
  d.pump();
  d.click(d.find<QPushButton>(window, "clearHistory"));
  EXPECT_TRUE(d.history->entries().empty());
  EXPECT_FALSE(d.find<QWidget>(window, "historyEmpty")->isHidden());
  EXPECT_TRUE(list->isHidden());
}

}  // namespace
}  // namespace ambrel::test
