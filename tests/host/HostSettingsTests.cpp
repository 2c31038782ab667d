#include <gtest/gtest.h>

#include "Ambrel_Host/controller/HostSettings.h"
#include "tests/support/TemporaryFolder.h"

namespace ambrel {
namespace {

class HostSettingsTest : public ::testing::Test {
 protected:
  corvel::test::TemporaryFolder folder;
  std::filesystem::path file = folder.path() / "settings.json";
  std::shared_ptr<corvel::Defaults> defaults = std::make_shared<corvel::Defaults>(file);
  HostSettings settings{defaults};
  void SetUp() override { settings.registerDefaults(); }
};

TEST_F(HostSettingsTest, FreshStoreReadsTheBuiltInDefaults) {
  EXPECT_EQ(settings.idleTimeoutMinutes(), 0);
  EXPECT_FALSE(settings.lockWhenSessionEnds());
  EXPECT_FALSE(settings.blankScreen());
  EXPECT_TRUE(settings.askBeforeConnecting());
  EXPECT_FALSE(settings.browserAccess());
  EXPECT_EQ(settings.quality(), StreamQuality::balanced);
  EXPECT_TRUE(settings.shareClipboard());
  EXPECT_TRUE(settings.shareSound());
  EXPECT_TRUE(settings.preferHEVC());
  EXPECT_FALSE(settings.preferHDR());
  EXPECT_FALSE(settings.highFrameRate());
  EXPECT_FALSE(std::filesystem::exists(file));  // reading writes nothing
}

TEST_F(HostSettingsTest, EverySetterWritesItsKeyAtOnce) {
  settings.setIdleTimeoutMinutes(30);
  settings.setAskBeforeConnecting(false);
  settings.setQuality(StreamQuality::sharp);
  settings.setHighFrameRate(true);
  settings.setShareSound(false);

  HostSettings reread(std::make_shared<corvel::Defaults>(file));
  reread.registerDefaults();
  EXPECT_EQ(reread.idleTimeoutMinutes(), 30);
  EXPECT_FALSE(reread.askBeforeConnecting());
  EXPECT_EQ(reread.quality(), StreamQuality::sharp);
  EXPECT_TRUE(reread.highFrameRate());
  EXPECT_FALSE(reread.shareSound());
  EXPECT_EQ(reread.defaults().storedValues()["quality"], "sharp");
}

TEST_F(HostSettingsTest, UnknownOrOddStoredValuesReadSafely) {
  defaults->set("quality", "ultra");
  defaults->set("idleTimeoutMinutes", -5);
  EXPECT_EQ(settings.quality(), StreamQuality::balanced);
  EXPECT_EQ(settings.idleTimeoutMinutes(), 0);
  defaults->set("quality", 3);
  EXPECT_EQ(settings.quality(), StreamQuality::balanced);
}

TEST_F(HostSettingsTest, SetFromTextChecksTheKeyAndTheType) {
  struct Case {
    std::string key, text;
    bool ok;
  };
  for (const auto& c : std::vector<Case>{{"blankScreen", "true", true},
                                         {"blankScreen", "yes", false},
                                         {"idleTimeoutMinutes", "45", true},
                                         {"idleTimeoutMinutes", "-1", false},
                                         {"idleTimeoutMinutes", "4x", false},
                                         {"quality", "smooth", true},
                                         {"quality", "best", false},
                                         {"noSuchKey", "true", false}}) {
    auto error = settings.setFromText(c.key, c.text);
    EXPECT_EQ(!error.has_value(), c.ok) << c.key << "=" << c.text;
  }
  EXPECT_EQ(settings.value("blankScreen"), true);
  EXPECT_EQ(settings.value("idleTimeoutMinutes"), 45);
  EXPECT_EQ(settings.value("quality"), "smooth");
  EXPECT_FALSE(settings.value("noSuchKey").has_value());
}

}  // namespace
}  // namespace ambrel
