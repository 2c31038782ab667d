#include <gtest/gtest.h>

#include <fstream>

#include "CorvelKit/base/AtomicFile.h"
#include "CorvelKit/base/Defaults.h"
#include "CorvelKit/base/Paths.h"
#include "CorvelKit/extensions/BroadcastTarget.h"
#include "CorvelKit/extensions/WidgetMac.h"
#include "CorvelKit/security/Keychain.h"
#include "tests/support/TemporaryFolder.h"

namespace corvel::extensions {
namespace {

namespace fs = std::filesystem;

BroadcastTarget target() {
  return {"Studio", "Studio._corvel._tcp.local.", std::nullopt, 5895, "ABC-DEF-GHJ-KLM", "Phone", "D-1", "en0"};
}

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST(BroadcastTarget, SavedTargetLoadsBackWithItsCodeFromTheKeychainOnly) {
  test::TemporaryHome home;
  EXPECT_EQ(SharedSettings::defaultFolder(), home.path() / "shared");
  EXPECT_FALSE(BroadcastTarget::load());

  target().save();
  EXPECT_EQ(BroadcastTarget::load(), target());

  // The settings file never holds the code; the keychain does, under the group.
  const auto stored = Defaults(home.path() / "shared" / "group.com.pinebay.corvel.json").data("broadcastTarget");
  ASSERT_TRUE(stored);
  EXPECT_EQ(text(*stored), R"({"macName":"Studio","bonjourName":"Studio._corvel._tcp.local.","port":5895,)"
                           R"("deviceName":"Phone","deviceID":"D-1","interfaceName":"en0"})");
  for (const auto& entry : fs::recursive_directory_iterator(home.path() / "shared")) {
    std::ifstream in(entry.path());
    std::string all((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(all.find("ABC-DEF"), std::string::npos) << entry.path();
  }
  EXPECT_EQ(security::Keychain::get("broadcast.accessCode", "com.pinebay.corvel", std::string("group.com.pinebay.corvel")),
            "ABC-DEF-GHJ-KLM");

  // Without its keychain item the target is gone, although the JSON is still there.
  security::Keychain::remove("broadcast.accessCode", "com.pinebay.corvel", std::string("group.com.pinebay.corvel"));
  EXPECT_FALSE(BroadcastTarget::load());
  target().save();
  BroadcastTarget::clear();
  EXPECT_FALSE(BroadcastTarget::load());
  EXPECT_FALSE(Defaults(home.path() / "shared" / "group.com.pinebay.corvel.json").data("broadcastTarget"));
}

TEST(BroadcastTarget, DecodingToleratesOnlyWhatTheFormAllows) {
  auto decode = [](std::string json) { return BroadcastTarget::decode(asBytes(json)); };
  auto minimal = decode(R"({"macName":"M","port":1,"deviceName":"D","deviceID":"I","address":null})");
  ASSERT_TRUE(minimal);
  EXPECT_FALSE(minimal->bonjourName);
  EXPECT_FALSE(minimal->address);
  EXPECT_EQ(BroadcastTarget::decode(target().encoded())->macName, "Studio");
  for (const char* bad : {"", "[]", "{", R"({"port":1,"deviceName":"D","deviceID":"I"})",
                          R"({"macName":"M","port":70000,"deviceName":"D","deviceID":"I"})",
                          R"({"macName":"M","port":-1,"deviceName":"D","deviceID":"I"})",
                          R"({"macName":"M","port":"1","deviceName":"D","deviceID":"I"})",
                          R"({"macName":"M","port":1.5,"deviceName":"D","deviceID":"I"})",
                          R"({"macName":7,"port":1,"deviceName":"D","deviceID":"I"})",
                          R"({"macName":"M","port":1,"deviceName":"D","deviceID":"I","address":5})"}) {
    EXPECT_FALSE(decode(bad)) << bad;
  }
}

TEST(WidgetMac, ListSavesLoadsAndSurvivesBadFiles) {
  test::TemporaryHome home;
  EXPECT_TRUE(WidgetMac::load().empty());
  const std::vector<WidgetMac> macs = {{"A1", "Studio", "Online"}, {"B2", "Laptop", "Asleep"}};
  WidgetMac::save(macs);
  EXPECT_EQ(WidgetMac::load(), macs);

  const auto file = home.path() / "shared" / "group.com.pinebay.corvel.json";
  for (const std::string& contents : {std::string("not json"), std::string(R"({"widgetMacs": "!!!"})"),
                                     std::string(R"({"widgetMacs": "W3siaWQiOjF9XQ=="})"),  // [{"id":1}]
                                     std::string("[1,2]")}) {
    SCOPED_TRACE(contents);
    ASSERT_FALSE(AtomicFile::write(file, asBytes(contents)));
    EXPECT_TRUE(WidgetMac::load().empty());
    EXPECT_FALSE(BroadcastTarget::load());
  }
  // A shared folder that can't be made: nothing saved, nothing loaded, nothing thrown.
  fs::remove_all(home.path() / "shared");
  std::ofstream(home.path() / "shared") << "a file in the way";
  WidgetMac::save(macs);
  target().save();
  EXPECT_TRUE(WidgetMac::load().empty());
  EXPECT_FALSE(BroadcastTarget::load());
}

TEST(WidgetMac, ConnectLinkCarriesTheIdAsItsOnlyQueryItem) {
  EXPECT_EQ((WidgetMac{"ABC", "n", "s"}.connectURL()), "corvel://connect?id=ABC");
  EXPECT_EQ((WidgetMac{"a&b=c d/é", "n", "s"}.connectURL()), "corvel://connect?id=a%26b%3Dc%20d%2F%C3%A9");
}

}  // namespace
}  // namespace corvel::extensions
