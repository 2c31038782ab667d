// The same behaviour is asked of every store: the SQLite file of this machine and a PostgreSQL
// server (a private one started by the test program itself).

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "CorvelKit/cloud/CloudDatabase.h"
#include "CorvelKit/cloud/PostgresCloudDatabase.h"
#include "CorvelKit/cloud/SqliteCloudDatabase.h"
#include "tests/support/ChildProcess.h"
#include "tests/cloud/PostgresEnvironment.h"
#include "tests/support/PostgresServer.h"
#include "tests/support/TemporaryFolder.h"

namespace corvel::cloud {
namespace {

using namespace std::chrono_literals;
using test::PostgresServer;

constexpr std::string_view kZone = "Corvel";

using test::PostgresEnvironment;

CloudRecord macRecord(const std::string& name, const std::string& title) {
  CloudRecord r;
  r.recordType = "Mac";
  r.recordName = name;
  r.fields = {{"name", std::string(title)},
              {"publicPort", std::int64_t{5895}},
              {"ratio", 0.25},
              {"lastSeen", Date(786'000'000.5)},
              {"blob", Bytes{0, 1, 2, 255}},
              {"lanAddresses", std::vector<std::string>{"10.0.0.2", "192.168.1.4"}},
              {"empty", std::vector<std::string>{}}};
  return r;
}

// Waits for a change signal.
class Signal {
 public:
  void operator()() {
    std::lock_guard lock(mutex_);
    ++count_;
    cv_.notify_all();
  }
  bool waitBeyond(int count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return count_ > count; });
  }
  int count() {
    std::lock_guard lock(mutex_);
    return count_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int count_ = 0;
};

class CloudDatabaseTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() == "postgres") {
      if (PostgresServer::binaries().empty()) {
        GTEST_SKIP() << "PostgreSQL server programs are not installed (/usr/lib/postgresql/*/bin): "
                        "the PostgreSQL store is not tested";
      }
      auto& server = PostgresEnvironment::server();
      ASSERT_TRUE(server.isRunning()) << server.errors();
      static int databases = 0;
      url_ = server.createDatabase("cloud_" + std::to_string(++databases));
    }
    auto store = open();
    ASSERT_FALSE(store->saveZone(kZone));
  }

  std::unique_ptr<CloudDatabase> open() {
    if (GetParam() == "postgres") return std::make_unique<PostgresCloudDatabase>(url_);
    return std::make_unique<SqliteCloudDatabase>(home_.path() / "data" / "cloud.sqlite");
  }

  test::TemporaryHome home_;
  std::string url_;
};

TEST_P(CloudDatabaseTest, SavedRecordsReadBackAndOverwriteAndDelete) {
  auto db = open();
  EXPECT_EQ(db->accountStatus(), AccountStatus::available);
  EXPECT_FALSE(db->saveZone(kZone)) << "saving an existing zone succeeds";

  auto saved = db->save(kZone, macRecord("mac-1", "Desk"), SavePolicy::overwrite);
  ASSERT_TRUE(saved) << saved.error().message();
  EXPECT_FALSE(saved->changeTag.empty());
  auto fetched = db->fetch(kZone, "mac-1");
  ASSERT_TRUE(fetched) << fetched.error().message();
  EXPECT_TRUE(fetched->sameContent(macRecord("mac-1", "Desk")));
  EXPECT_EQ(fetched->changeTag, saved->changeTag);

  // An overwrite replaces every field: keys absent from the new record are gone.
  CloudRecord smaller{"Mac", "mac-1", {{"name", std::string("Attic")}}, {}};
  auto again = db->save(kZone, smaller, SavePolicy::overwrite);
  ASSERT_TRUE(again);
  EXPECT_NE(again->changeTag, saved->changeTag);
  fetched = db->fetch(kZone, "mac-1");
  ASSERT_TRUE(fetched);
  EXPECT_TRUE(fetched->sameContent(smaller));

  const std::vector<std::string> names{"mac-1", "never-saved"};
  EXPECT_FALSE(db->deleteRecords(kZone, names));
  EXPECT_EQ(db->fetch(kZone, "mac-1").error(), CloudError::recordNotFound);
  EXPECT_FALSE(db->deleteRecords(kZone, names)) << "deleting what is gone is no error";

  EXPECT_EQ(db->save("NoSuchZone", smaller, SavePolicy::overwrite).error(), CloudError::zoneNotFound);
  EXPECT_EQ(db->fetchZoneChanges("NoSuchZone", "", 10).error(), CloudError::zoneNotFound);
  CloudRecord nameless{"Mac", "", {}, {}};
  EXPECT_EQ(db->save(kZone, nameless, SavePolicy::overwrite).error(), CloudError::invalidRecord);
  CloudRecord notFinite{"Mac", "mac-2", {{"ratio", std::numeric_limits<double>::infinity()}}, {}};
  EXPECT_EQ(db->save(kZone, notFinite, SavePolicy::overwrite).error(), CloudError::invalidRecord);
}

TEST_P(CloudDatabaseTest, IfUnchangedSaveStoresOnlyOverTheVersionItWasGiven) {
  auto db = open();
  auto command = macRecord("cmd-1", "first");
  auto created = db->save(kZone, command, SavePolicy::ifUnchanged);
  ASSERT_TRUE(created) << "a new record without a tag is created";
  EXPECT_EQ(db->save(kZone, command, SavePolicy::ifUnchanged).error(), CloudError::conflict)
      << "a record of that name exists now";

  auto update = macRecord("cmd-1", "second");
  update.changeTag = created->changeTag;
  auto updated = db->save(kZone, update, SavePolicy::ifUnchanged);
  ASSERT_TRUE(updated);

  auto stale = macRecord("cmd-1", "third");
  stale.changeTag = created->changeTag;
  EXPECT_EQ(db->save(kZone, stale, SavePolicy::ifUnchanged).error(), CloudError::conflict);
  EXPECT_TRUE(db->fetch(kZone, "cmd-1")->sameContent(update)) << "the refused save changed nothing";

  // A deletion is a change too: the old tag no longer fits, a new record may be made.
  const std::vector<std::string> names{"cmd-1"};
  ASSERT_FALSE(db->deleteRecords(kZone, names));
  stale.changeTag = updated->changeTag;
  EXPECT_EQ(db->save(kZone, stale, SavePolicy::ifUnchanged).error(), CloudError::conflict);
  stale.changeTag.clear();
  EXPECT_TRUE(db->save(kZone, stale, SavePolicy::ifUnchanged));
}

TEST_P(CloudDatabaseTest, RacingConditionalSavesFromTwoStoresLetExactlyOneWin) {
  auto seed = open()->save(kZone, macRecord("shared", "v0"), SavePolicy::overwrite);
  ASSERT_TRUE(seed);
  std::string tag = seed->changeTag;
  for (int round = 0; round < 10; ++round) {
    std::atomic<int> wins = 0;
    std::atomic<int> conflicts = 0;
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
      writers.emplace_back([&, w] {
        auto db = open();
        auto r = macRecord("shared", "round " + std::to_string(round) + " writer " + std::to_string(w));
        r.changeTag = tag;
        auto result = db->save(kZone, r, SavePolicy::ifUnchanged);
        if (result) {
          ++wins;
        } else if (result.error() == CloudError::conflict) {
          ++conflicts;
        }
      });
    }
    for (auto& t : writers) t.join();
    ASSERT_EQ(wins.load(), 1) << "round " << round;
    ASSERT_EQ(conflicts.load(), 1) << "round " << round;
    auto now = open()->fetch(kZone, "shared");
    ASSERT_TRUE(now);
    tag = now->changeTag;
  }
}

TEST_P(CloudDatabaseTest, ChangesArriveInBatchesFromTheBeginningAndFromAToken) {
  auto writer = open();
  auto reader = open();
  std::set<std::string> expected;
  for (int i = 0; i < 7; ++i) {
    auto name = "mac-" + std::to_string(i);
    ASSERT_TRUE(writer->save(kZone, macRecord(name, name), SavePolicy::overwrite));
    expected.insert(name);
  }
  ASSERT_TRUE(writer->save(kZone, macRecord("mac-0", "renamed"), SavePolicy::overwrite));

  std::set<std::string> seen;
  std::vector<std::size_t> sizes;
  std::string token;
  for (bool more = true; more;) {
    auto batch = reader->fetchZoneChanges(kZone, token, 3);
    ASSERT_TRUE(batch) << batch.error().message();
    sizes.push_back(batch->changed.size());
    for (const auto& r : batch->changed) EXPECT_TRUE(seen.insert(r.recordName).second);
    EXPECT_TRUE(batch->deleted.empty());
    token = batch->token;
    more = batch->moreComing;
    ASSERT_LT(sizes.size(), 10u);
  }
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(sizes, (std::vector<std::size_t>{3, 3, 1}));

  // From the token: nothing yet; then exactly what changed since.
  auto nothing = reader->fetchZoneChanges(kZone, token, 3);
  ASSERT_TRUE(nothing);
  EXPECT_TRUE(nothing->changed.empty());
  EXPECT_FALSE(nothing->moreComing);

  ASSERT_TRUE(writer->save(kZone, macRecord("mac-3", "moved"), SavePolicy::overwrite));
  const std::vector<std::string> gone{"mac-5"};
  ASSERT_FALSE(writer->deleteRecords(kZone, gone));
  auto since = reader->fetchZoneChanges(kZone, token, 10);
  ASSERT_TRUE(since);
  ASSERT_EQ(since->changed.size(), 1u);
  EXPECT_TRUE(since->changed[0].sameContent(macRecord("mac-3", "moved")));
  EXPECT_EQ(since->deleted, gone);

  auto all = reader->fetchAll(kZone, 2);
  ASSERT_TRUE(all);
  EXPECT_EQ(all->size(), 6u) << "a deleted record is absent from a read from the beginning";

  EXPECT_EQ(reader->fetchZoneChanges(kZone, "not a token", 3).error(), CloudError::invalidToken);
  EXPECT_EQ(reader->fetchZoneChanges(kZone, "999999", 3).error(), CloudError::invalidToken);
}

TEST_P(CloudDatabaseTest, TwoStoresShareRecordsOwnerAndChangeSignal) {
  auto a = open();
  auto b = open();
  auto owner = a->userRecordName();
  ASSERT_TRUE(owner);
  EXPECT_FALSE(owner->empty());
  EXPECT_EQ(b->userRecordName().value(), *owner);

  Signal signal;
  ASSERT_FALSE(b->saveSubscription("corvel-changes", [&signal] { signal(); }));
  std::this_thread::sleep_for(300ms);  // the watcher settles on the current state
  int before = signal.count();

  auto saved = a->save(kZone, macRecord("mac-a", "from a"), SavePolicy::overwrite);
  ASSERT_TRUE(saved);
  EXPECT_TRUE(signal.waitBeyond(before, 1s)) << "the other store heard of the save within a second";
  auto fetched = b->fetch(kZone, "mac-a");
  ASSERT_TRUE(fetched);
  EXPECT_EQ(fetched->changeTag, saved->changeTag);

  before = signal.count();
  const std::vector<std::string> names{"mac-a"};
  ASSERT_FALSE(a->deleteRecords(kZone, names));
  EXPECT_TRUE(signal.waitBeyond(before, 1s)) << "and of the deletion";

  b->removeSubscription("corvel-changes");
  std::this_thread::sleep_for(300ms);
  before = signal.count();
  ASSERT_TRUE(a->save(kZone, macRecord("mac-b", "quiet"), SavePolicy::overwrite));
  EXPECT_FALSE(signal.waitBeyond(before, 600ms)) << "a removed subscription is not called";
}

TEST(PostgresCloudDatabaseTest, ALostConnectionIsOpenedAgainAndTheListenerComesBack) {
  if (PostgresServer::binaries().empty()) {
    GTEST_SKIP() << "PostgreSQL server programs are not installed (/usr/lib/postgresql/*/bin)";
  }
  test::TemporaryHome home;
  auto& server = PostgresEnvironment::server();
  ASSERT_TRUE(server.isRunning()) << server.errors();
  auto url = server.createDatabase("cloud_reconnect");
  PostgresCloudDatabase a(url), b(url);
  ASSERT_FALSE(a.saveZone(kZone));
  Signal signal;
  ASSERT_FALSE(b.saveSubscription("corvel-changes", [&signal] { signal(); }));
  std::this_thread::sleep_for(300ms);

  server.dropConnections("cloud_reconnect");
  // The call that meets the dead connection may fail; the next one opens a new connection.
  auto first = a.save(kZone, macRecord("mac-1", "after the cut"), SavePolicy::overwrite);
  if (!first) {
    EXPECT_EQ(first.error(), CloudError::unavailable);
    ASSERT_TRUE(a.save(kZone, macRecord("mac-1", "after the cut"), SavePolicy::overwrite));
  }
  ASSERT_TRUE(b.fetch(kZone, "mac-1") || b.fetch(kZone, "mac-1"));

  // The listener reconnects by itself and hears the next change.
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  bool heard = false;
  while (!heard && std::chrono::steady_clock::now() < deadline) {
    int before = signal.count();
    ASSERT_TRUE(a.save(kZone, macRecord("mac-2", "ping"), SavePolicy::overwrite));
    heard = signal.waitBeyond(before, 500ms);
  }
  EXPECT_TRUE(heard);
}

// The owner's records (addresses, sealed secrets) are this user's alone: a new store and the
// folders made for it are private whatever the umask; a store someone set up to share keeps its
// mode.
TEST(SqliteCloudDatabaseTest, ANewStoreIsPrivateAndAnExistingOneKeepsItsMode) {
  test::TemporaryFolder folder;
  const auto saved = ::umask(022);
  const auto file = folder.path() / "new" / "cloud.sqlite";
  {
    SqliteCloudDatabase store(file);
    ASSERT_FALSE(store.saveZone("Corvel"));
  }
  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(file.parent_path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  const auto shared = folder.path() / "shared.sqlite";
  {
    SqliteCloudDatabase store(shared);
    ASSERT_FALSE(store.saveZone("Corvel"));
  }
  ::chmod(shared.c_str(), 0640);
  {
    SqliteCloudDatabase store(shared);
    ASSERT_FALSE(store.saveZone("Other"));
  }
  ASSERT_EQ(::stat(shared.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  ::umask(saved);
}

INSTANTIATE_TEST_SUITE_P(Stores, CloudDatabaseTest, ::testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace corvel::cloud
