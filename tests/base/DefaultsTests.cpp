#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

#include "CorvelKit/base/AtomicFile.h"
#include "CorvelKit/base/Defaults.h"
#include "tests/support/TemporaryFolder.h"

namespace corvel {
namespace {

class DefaultsTest : public ::testing::Test {
 protected:
  test::TemporaryFolder folder;
  std::filesystem::path file = folder.path() / "config" / "settings.json";
};

TEST_F(DefaultsTest, StoredValuesOutrankRegisteredOnesAndSurviveReopening) {
  {
    Defaults d(file);
    d.registerDefaults({{"ask", true}, {"quality", "balanced"}});
    EXPECT_TRUE(d.boolean("ask"));
    EXPECT_EQ(d.string("quality"), "balanced");
    EXPECT_FALSE(d.boolean("absent"));
    EXPECT_EQ(d.integer("absent"), 0);
    d.set("ask", false);
    d.set("idle", 15);
    d.setData("blob", asBytes("\x01\x02"));
  }
  Defaults reopened(file);
  EXPECT_FALSE(reopened.boolean("ask"));  // stored false beats nothing registered
  EXPECT_EQ(reopened.integer("idle"), 15);
  EXPECT_EQ(reopened.data("blob"), toBytes("\x01\x02"));
  EXPECT_FALSE(reopened.string("quality").has_value());  // registered defaults are not persisted

  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(DefaultsTest, ReadsHandWrittenValuesLeniently) {
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file) << R"({"a": "yes", "b": 1, "c": "12", "d": 2.9, "e": "x", "f": null,
                             "g": "not base64!", "h": [1]})";
  Defaults d(file);
  EXPECT_TRUE(d.boolean("a"));
  EXPECT_TRUE(d.boolean("b"));
  EXPECT_EQ(d.integer("c"), 12);
  EXPECT_EQ(d.integer("d"), 2);
  EXPECT_EQ(d.integer("e"), 0);
  EXPECT_FALSE(d.object("f").has_value());
  EXPECT_FALSE(d.data("g").has_value());
  EXPECT_FALSE(d.string("h").has_value());
}

TEST_F(DefaultsTest, CorruptFileIsMovedAsideNotLost) {
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file) << "{ truncated";
  Defaults d(file);
  EXPECT_FALSE(d.object("anything").has_value());
  auto aside = file;
  aside += ".corrupt";
  EXPECT_TRUE(std::filesystem::exists(aside));
  d.set("k", 1);
  EXPECT_EQ(Defaults(file).integer("k"), 1);
}

TEST_F(DefaultsTest, AtomicWriteLeavesNoTemporaryFiles) {
  for (int i = 0; i < 5; ++i) {
    ASSERT_FALSE(AtomicFile::write(file, asBytes(std::to_string(i))));
  }
  EXPECT_EQ(asString(*AtomicFile::read(file)), "4");
  int entries = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(file.parent_path())) ++entries;
  EXPECT_EQ(entries, 1);
  EXPECT_FALSE(AtomicFile::read(folder.path() / "missing").has_value());
}

}  // namespace
}  // namespace corvel
