#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include "CorvelKit/base/AtomicFile.h"
#include "CorvelKit/base/Paths.h"
#include "CorvelKit/security/Keychain.h"
#include "CorvelKit/security/LocalSecretStore.h"
#include "tests/support/TemporaryFolder.h"

namespace corvel::security {
namespace {

namespace fs = std::filesystem;

class KeychainTest : public ::testing::Test {
 protected:
  fs::path storeFile() const { return Paths::configFolder() / LocalSecretStore::fileName; }
  nlohmann::json storedDocument() const {
    auto data = AtomicFile::read(storeFile());
    EXPECT_TRUE(data);
    return nlohmann::json::parse(data ? *data : Bytes{});
  }

  test::TemporaryHome home_;
};

TEST_F(KeychainTest, KeepsItemsApartByServiceAccountAndGroup) {
  EXPECT_FALSE(Keychain::get("host.accessCode", "com.pinebay.corvel"));

  ASSERT_TRUE(Keychain::set("ABC-DEF-GHJ-KLM", "host.accessCode", "com.pinebay.corvel", true));
  ASSERT_TRUE(Keychain::set("token", "host.iCloudToken", "com.pinebay.corvel", false));
  ASSERT_TRUE(Keychain::set("other", "host.accessCode", "another.service", false));
  ASSERT_TRUE(Keychain::set("grouped", "host.accessCode", "another.service", false, "team"));

  EXPECT_EQ(Keychain::get("host.accessCode", "com.pinebay.corvel"), "ABC-DEF-GHJ-KLM");
  EXPECT_EQ(Keychain::get("host.iCloudToken", "com.pinebay.corvel"), "token");
  EXPECT_EQ(Keychain::get("host.accessCode", "another.service", "team"), "grouped");
  EXPECT_FALSE(Keychain::get("host.accessCode", "another.service", "elsewhere"));
  EXPECT_FALSE(Keychain::get("host.iCloudToken", "another.service"));

  // Replacing a value leaves one item.
  ASSERT_TRUE(Keychain::set("NEW-COD-E12-345", "host.accessCode", "com.pinebay.corvel", true));
  EXPECT_EQ(Keychain::get("host.accessCode", "com.pinebay.corvel"), "NEW-COD-E12-345");
  EXPECT_EQ(storedDocument()["items"].size(), 4u);

  Keychain::remove("host.accessCode", "com.pinebay.corvel");
  EXPECT_FALSE(Keychain::get("host.accessCode", "com.pinebay.corvel"));
  EXPECT_EQ(Keychain::get("host.iCloudToken", "com.pinebay.corvel"), "token");
  // Without a group, a delete reaches the item of every group.
  Keychain::remove("host.accessCode", "another.service");
  EXPECT_FALSE(Keychain::get("host.accessCode", "another.service", "team"));
}

TEST_F(KeychainTest, FileIsPrivateAndKeepsTheSynchronizableFlag) {
  ASSERT_TRUE(Keychain::set("code", "host.accessCode", "com.pinebay.corvel", true));
  ASSERT_TRUE(Keychain::set("token", "host.iCloudToken", "com.pinebay.corvel", false));

  struct stat st {};
  ASSERT_EQ(::stat(storeFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  std::map<std::string, bool> flags;
  const auto document = storedDocument();
  for (const auto& item : document["items"]) {
    flags[item["account"]] = item["synchronizable"];
    // Values are not written as plain text.
    EXPECT_EQ(item["value"].get<std::string>().find("token"), std::string::npos);
  }
  EXPECT_EQ(flags, (std::map<std::string, bool>{{"host.accessCode", true},
                                                {"host.iCloudToken", false}}));
}

// A store that cannot keep synchronizable items, like a keychain without cloud sync.
class LocalOnlyStore : public LocalSecretStore {
 public:
  using LocalSecretStore::LocalSecretStore;
  bool add(const Item& item) override {
    ++adds;
    return !item.synchronizable && LocalSecretStore::add(item);
  }
  int adds = 0;
};

TEST_F(KeychainTest, RefusedSynchronizableItemIsSavedLocalOnly) {
  auto store = std::make_shared<LocalOnlyStore>();
  auto previous = Keychain::useStore(store);
  const bool saved = Keychain::set("code", "host.accessCode", "com.pinebay.corvel", true);
  Keychain::useStore(previous);

  EXPECT_TRUE(saved);
  EXPECT_EQ(store->adds, 2);
  EXPECT_EQ(Keychain::get("host.accessCode", "com.pinebay.corvel"), "code");
  EXPECT_EQ(storedDocument()["items"][0]["synchronizable"], false);
}

TEST_F(KeychainTest, CorruptFileReadsAsEmptyAndIsKeptAsideOnTheNextWrite) {
  const std::string garbage = "{\"items\": [ this is not json";
  ASSERT_FALSE(AtomicFile::write(storeFile(), asBytes(garbage)));

  EXPECT_FALSE(Keychain::get("host.accessCode", "com.pinebay.corvel"));
  Keychain::remove("host.accessCode", "com.pinebay.corvel");  // nothing to delete, nothing lost
  EXPECT_EQ(asString(*AtomicFile::read(storeFile())), garbage);

  ASSERT_TRUE(Keychain::set("code", "host.accessCode", "com.pinebay.corvel", false));
  EXPECT_EQ(Keychain::get("host.accessCode", "com.pinebay.corvel"), "code");
  fs::path aside = storeFile();
  aside += ".corrupt";
  auto kept = AtomicFile::read(aside);
  ASSERT_TRUE(kept);
  EXPECT_EQ(asString(*kept), garbage);
}

TEST_F(KeychainTest, DamagedItemsAreSkippedAndTheRestStillRead) {
  const std::string text = R"({"version":1,"items":[
      {"service":"s","account":"bad-base64","value":"***","synchronizable":false},
      {"service":"s","account":"no-value"},
      42,
      {"service":"s","account":"good","value":"Z29vZA==","synchronizable":true}]})";
  ASSERT_FALSE(AtomicFile::write(storeFile(), asBytes(text)));
  EXPECT_EQ(Keychain::get("good", "s"), "good");
  EXPECT_FALSE(Keychain::get("bad-base64", "s"));
  EXPECT_FALSE(Keychain::get("no-value", "s"));
}

}  // namespace
}  // namespace corvel::security
