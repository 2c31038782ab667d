#include "CorvelKit/cloud/SqliteCloudDatabase.h"

#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "CorvelKit/base/Log.h"
#include "CorvelKit/base/Paths.h"
#include "CorvelKit/base/PrivateFolder.h"
#include "CorvelKit/base/UUID.h"
#include "CorvelKit/cloud/CloudFieldCoding.h"
#include "CorvelKit/cloud/SqliteHandles.h"

namespace corvel::cloud {

namespace {

auto& log() {
  static auto& logger = Log::core("cloud");
  return logger;
}

constexpr int kBusyTimeoutMs = 5000;
constexpr auto kWatchInterval = std::chrono::milliseconds(200);

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS cloud_meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS cloud_sequence (id INTEGER PRIMARY KEY CHECK (id = 0), value INTEGER NOT NULL);
INSERT OR IGNORE INTO cloud_sequence (id, value) VALUES (0, 0);
CREATE TABLE IF NOT EXISTS cloud_zones (name TEXT PRIMARY KEY);
CREATE TABLE IF NOT EXISTS cloud_records (
  zone TEXT NOT NULL, name TEXT NOT NULL, type TEXT NOT NULL, fields TEXT NOT NULL,
  seq INTEGER NOT NULL, deleted INTEGER NOT NULL DEFAULT 0, PRIMARY KEY (zone, name));
CREATE INDEX IF NOT EXISTS cloud_records_by_seq ON cloud_records (zone, seq);
)sql";

std::error_code errorFor(int code) {
  switch (code & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_CANTOPEN:
    case SQLITE_IOERR:
    case SQLITE_FULL:
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
    case SQLITE_READONLY:
      return CloudError::unavailable;
    default:
      return CloudError::storeFailed;
  }
}

std::optional<std::int64_t> parseCounter(std::string_view text) {
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
  return value;
}

}  // namespace

// One SQLite connection with the few statement helpers the store needs. Failures are logged once
// here, with SQLite's message, and returned as the store's error.
class SqliteCloudDatabase::Connection {
 public:
  explicit Connection(SqliteConnection db) : db_(std::move(db)) {}

  std::error_code exec(const char* sql) {
    char* message = nullptr;
    int rc = sqlite3_exec(db_.get(), sql, nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
      log().warn("cloud store: {}", message != nullptr ? message : sqlite3_errstr(rc));
      sqlite3_free(message);
      return errorFor(rc);
    }
    return {};
  }

  Expected<SqliteStatement, std::error_code> prepare(std::string_view sql) {
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(db_.get(), sql.data(), static_cast<int>(sql.size()), &raw, nullptr);
    if (rc != SQLITE_OK) return Unexpected{failure(rc)};
    return SqliteStatement(raw);
  }

  // Steps once: true for a row, false when done.
  Expected<bool, std::error_code> step(sqlite3_stmt* statement) {
    int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    return Unexpected{failure(rc)};
  }

  std::error_code failure(int rc) {
    log().warn("cloud store: {}", sqlite3_errmsg(db_.get()));
    return errorFor(rc);
  }

  // Runs `body` in a write transaction, committed when it returns no error and rolled back
  // otherwise. BEGIN IMMEDIATE takes the write lock at once, so a conditional save's check and
  // write see no other writer in between.
  template <class F>
  auto writing(F&& body) -> decltype(body()) {
    if (auto ec = exec("BEGIN IMMEDIATE")) return Unexpected{ec};
    auto result = body();
    if (!result) {
      exec("ROLLBACK");
      return result;
    }
    if (auto ec = exec("COMMIT")) {
      exec("ROLLBACK");
      return Unexpected{ec};
    }
    return result;
  }

  Expected<std::int64_t, std::error_code> nextSequence() {
    auto statement = prepare("UPDATE cloud_sequence SET value = value + 1 WHERE id = 0 RETURNING value");
    if (!statement) return Unexpected{statement.error()};
    auto row = step(statement->get());
    if (!row) return Unexpected{row.error()};
    if (!*row) return Unexpected{std::error_code(CloudError::storeFailed)};
    return sqlite3_column_int64(statement->get(), 0);
  }

  Expected<std::int64_t, std::error_code> currentSequence() {
    auto statement = prepare("SELECT value FROM cloud_sequence WHERE id = 0");
    if (!statement) return Unexpected{statement.error()};
    auto row = step(statement->get());
    if (!row) return Unexpected{row.error()};
    return *row ? sqlite3_column_int64(statement->get(), 0) : 0;
  }

  Expected<bool, std::error_code> zoneExists(std::string_view zone) {
    auto statement = prepare("SELECT 1 FROM cloud_zones WHERE name = ?1");
    if (!statement) return Unexpected{statement.error()};
    bindText(statement->get(), 1, zone);
    return step(statement->get());
  }

  static void bindText(sqlite3_stmt* statement, int index, std::string_view text) {
    sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  static std::string columnText(sqlite3_stmt* statement, int column) {
    const auto* text = sqlite3_column_text(statement, column);
    int size = sqlite3_column_bytes(statement, column);
    return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text),
                                                         static_cast<std::size_t>(size));
  }

 private:
  SqliteConnection db_;
};

std::filesystem::path SqliteCloudDatabase::defaultFile() {
  return Paths::dataFolder() / "cloud.sqlite";
}

SqliteCloudDatabase::SqliteCloudDatabase(std::filesystem::path file) : file_(std::move(file)) {}

SqliteCloudDatabase::~SqliteCloudDatabase() = default;

Expected<SqliteCloudDatabase::Connection*, std::error_code> SqliteCloudDatabase::connection() {
  if (connection_) return connection_.get();
  // A new store is this user's alone, like the folders made for it (the journal files follow the
  // store's mode); an existing one keeps the mode its owner gave it.
  (void)PrivateFolder::create(file_.parent_path());
  if (const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600); fd >= 0) {
    ::close(fd);
  }
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(file_.c_str(), &raw,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  SqliteConnection db(raw);
  if (rc != SQLITE_OK) {
    log().warn("cloud store {} cannot be opened: {}", file_.string(), sqlite3_errstr(rc));
    return Unexpected{errorFor(rc)};
  }
  sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
  auto opened = std::make_unique<Connection>(std::move(db));
  if (auto e = opened->exec("PRAGMA journal_mode = WAL")) return Unexpected{e};
  if (auto e = opened->exec("PRAGMA synchronous = NORMAL")) return Unexpected{e};
  if (auto e = opened->exec(kSchema)) return Unexpected{e};
  connection_ = std::move(opened);
  return connection_.get();
}

void SqliteCloudDatabase::dropConnectionAfter(std::error_code error) {
  if (error == CloudError::unavailable) connection_.reset();
}

AccountStatus SqliteCloudDatabase::accountStatus() {
  std::lock_guard lock(mutex_);
  auto c = connection();
  if (!c) return AccountStatus::undetermined;
  return AccountStatus::available;
}

Expected<std::string, std::error_code> SqliteCloudDatabase::userRecordName() {
  std::lock_guard lock(mutex_);
  auto c = connection();
  if (!c) return Unexpected{c.error()};
  Connection& db = **c;
  // The owner of a local database is made up once, when first asked.
  auto result = db.writing([&]() -> Expected<std::string, std::error_code> {
    auto insert = db.prepare("INSERT OR IGNORE INTO cloud_meta (key, value) VALUES ('owner', ?1)");
    if (!insert) return Unexpected{insert.error()};
    Connection::bindText(insert->get(), 1, "_" + UUID::random().string());
    if (auto done = db.step(insert->get()); !done) return Unexpected{done.error()};
    auto select = db.prepare("SELECT value FROM cloud_meta WHERE key = 'owner'");
    if (!select) return Unexpected{select.error()};
    auto row = db.step(select->get());
    if (!row) return Unexpected{row.error()};
    if (!*row) return Unexpected{std::error_code(CloudError::storeFailed)};
    return Connection::columnText(select->get(), 0);
  });
  if (!result) dropConnectionAfter(result.error());
  return result;
}

std::error_code SqliteCloudDatabase::saveZone(std::string_view zone) {
  std::lock_guard lock(mutex_);
  auto c = connection();
  if (!c) return c.error();
  Connection& db = **c;
  auto statement = db.prepare("INSERT OR IGNORE INTO cloud_zones (name) VALUES (?1)");
  if (!statement) return statement.error();
  Connection::bindText(statement->get(), 1, zone);
  auto done = db.step(statement->get());
  if (!done) {
    dropConnectionAfter(done.error());
    return done.error();
  }
  return {};
}

std::error_code SqliteCloudDatabase::saveSubscription(std::string_view identifier,
                                                      ChangeHandler handler) {
  subscribers_.save(identifier, std::move(handler));
  return {};
}

void SqliteCloudDatabase::removeSubscription(std::string_view identifier) {
  subscribers_.remove(identifier);
}

void SqliteCloudDatabase::watch(std::stop_token stop) {
  // A connection of its own, so that the poll never waits for the store's callers.
  std::optional<std::int64_t> seen;
  SqliteConnection db;
  while (!stop.stop_requested()) {
    if (!db) {
      sqlite3* raw = nullptr;
      if (sqlite3_open_v2(file_.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) ==
          SQLITE_OK) {
        sqlite3_busy_timeout(raw, kBusyTimeoutMs);
      }
      db.reset(raw);
    }
    std::optional<std::int64_t> value;
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db.get(), "SELECT value FROM cloud_sequence WHERE id = 0", -1, &raw,
                           nullptr) == SQLITE_OK) {
      SqliteStatement statement(raw);
      if (sqlite3_step(statement.get()) == SQLITE_ROW) value = sqlite3_column_int64(statement.get(), 0);
    } else {
      sqlite3_finalize(raw);
      db.reset();  // the file may not exist yet, or went away: open again on the next round
    }
    if (value && seen && *value != *seen) subscribers_.signal();
    if (value) seen = value;
    ChangeSubscribers::pause(stop, kWatchInterval);
  }
}

Expected<ChangeBatch, std::error_code> SqliteCloudDatabase::fetchZoneChanges(std::string_view zone,
                                                                             std::string_view token,
                                                                             std::size_t limit) {
  std::int64_t since = 0;
  if (!token.empty()) {
    auto parsed = parseCounter(token);
    if (!parsed) return Unexpected{std::error_code(CloudError::invalidToken)};
    since = *parsed;
  }
  if (limit == 0) limit = 1;
  std::lock_guard lock(mutex_);
  auto c = connection();
  if (!c) return Unexpected{c.error()};
  Connection& db = **c;
  // One read transaction: the zone, the counter and the rows come from the same snapshot.
  if (auto ec = db.exec("BEGIN")) return Unexpected{ec};
  auto result = [&]() -> Expected<ChangeBatch, std::error_code> {
    auto exists = db.zoneExists(zone);
    if (!exists) return Unexpected{exists.error()};
    if (!*exists) return Unexpected{std::error_code(CloudError::zoneNotFound)};
    auto current = db.currentSequence();
    if (!current) return Unexpected{current.error()};
    if (since > *current) return Unexpected{std::error_code(CloudError::invalidToken)};
    // From the beginning, deleted records are simply absent; after a token they are reported.
    auto statement = db.prepare(
        "SELECT name, type, fields, seq, deleted FROM cloud_records "
        "WHERE zone = ?1 AND seq > ?2 AND (deleted = 0 OR ?2 > 0) ORDER BY seq LIMIT ?3");
    if (!statement) return Unexpected{statement.error()};
    Connection::bindText(statement->get(), 1, zone);
    sqlite3_bind_int64(statement->get(), 2, since);
    sqlite3_bind_int64(statement->get(), 3, static_cast<std::int64_t>(limit) + 1);
    ChangeBatch batch;
    std::int64_t reached = since;
    std::size_t count = 0;
    for (;;) {
      auto row = db.step(statement->get());
      if (!row) return Unexpected{row.error()};
      if (!*row) break;
      if (count == limit) {
        batch.moreComing = true;
        break;
      }
      ++count;
      sqlite3_stmt* s = statement->get();
      reached = sqlite3_column_int64(s, 3);
      if (sqlite3_column_int64(s, 4) != 0) {
        batch.deleted.push_back(Connection::columnText(s, 0));
        continue;
      }
      auto fields = CloudFieldCoding::decode(Connection::columnText(s, 2));
      if (!fields) {
        // Another writer's record this device cannot read: skipped, not fatal to the batch.
        log().warn("cloud store: skipped a corrupt record");
        continue;
      }
      batch.changed.push_back(CloudRecord{Connection::columnText(s, 1), Connection::columnText(s, 0),
                                          std::move(*fields), std::to_string(reached)});
    }
    // Without more to come the token stands at the counter, so that a reader with nothing new
    // still moves on past other zones' writes.
    batch.token = std::to_string(batch.moreComing ? reached : *current);
    return batch;
  }();
  db.exec("COMMIT");
  if (!result) dropConnectionAfter(result.error());
  return result;
}

Expected<CloudRecord, std::error_code> SqliteCloudDatabase::save(std::string_view zone,
                                                                 const CloudRecord& record,
                                                                 SavePolicy policy) {
  if (record.recordName.empty() || record.recordType.empty()) {
    return Unexpected{std::error_code(CloudError::invalidRecord)};
  }
  auto encoded = CloudFieldCoding::encode(record.fields);
  if (!encoded) return Unexpected{std::error_code(CloudError::invalidRecord)};
  std::lock_guard lock(mutex_);
  auto c = connection();
  if (!c) return Unexpected{c.error()};
  Connection& db = **c;
  auto result = db.writing([&]() -> Expected<CloudRecord, std::error_code> {
    auto exists = db.zoneExists(zone);
    if (!exists) return Unexpected{exists.error()};
    if (!*exists) return Unexpected{std::error_code(CloudError::zoneNotFound)};
    if (policy == SavePolicy::ifUnchanged) {
      auto statement = db.prepare(
          "SELECT seq FROM cloud_records WHERE zone = ?1 AND name = ?2 AND deleted = 0");
      if (!statement) return Unexpected{statement.error()};
      Connection::bindText(statement->get(), 1, zone);
      Connection::bindText(statement->get(), 2, record.recordName);
      auto row = db.step(statement->get());
      if (!row) return Unexpected{row.error()};
      std::string stored = *row ? std::to_string(sqlite3_column_int64(statement->get(), 0)) : "";
      if (stored != record.changeTag) return Unexpected{std::error_code(CloudError::conflict)};
    }
    auto seq = db.nextSequence();
    if (!seq) return Unexpected{seq.error()};
    auto statement = db.prepare(
        "INSERT INTO cloud_records (zone, name, type, fields, seq, deleted) "
        "VALUES (?1, ?2, ?3, ?4, ?5, 0) ON CONFLICT (zone, name) DO UPDATE SET "
        "type = excluded.type, fields = excluded.fields, seq = excluded.seq, deleted = 0");
    if (!statement) return Unexpected{statement.error()};
    Connection::bindText(statement->get(), 1, zone);
    Connection::bindText(statement->get(), 2, record.recordName);
    Connection::bindText(statement->get(), 3, record.recordType);
    Connection::bindText(statement->get(), 4, *encoded);
    sqlite3_bind_int64(statement->get(), 5, *seq);
    if (auto done = db.step(statement->get()); !done) return Unexpected{done.error()};
    CloudRecord stored = record;
    stored.changeTag = std::to_string(*seq);
    return stored;
  });
  if (!result) dropConnectionAfter(result.error());
  return result;
}

Expected<CloudRecord, std::error_code> SqliteCloudDatabase::fetch(std::string_view zone,
                                                                  std::string_view recordName) {
  std::lock_guard lock(mutex_);
  auto c = connection();
  if (!c) return Unexpected{c.error()};
  Connection& db = **c;
  auto statement = db.prepare(
      "SELECT type, fields, seq FROM cloud_records WHERE zone = ?1 AND name = ?2 AND deleted = 0");
  if (!statement) return Unexpected{statement.error()};
  Connection::bindText(statement->get(), 1, zone);
  Connection::bindText(statement->get(), 2, recordName);
  auto row = db.step(statement->get());
  if (!row) {
    dropConnectionAfter(row.error());
    return Unexpected{row.error()};
  }
  if (!*row) return Unexpected{std::error_code(CloudError::recordNotFound)};
  sqlite3_stmt* s = statement->get();
  auto fields = CloudFieldCoding::decode(Connection::columnText(s, 1));
  if (!fields) return Unexpected{fields.error()};
  return CloudRecord{Connection::columnText(s, 0), std::string(recordName), std::move(*fields),
                     std::to_string(sqlite3_column_int64(s, 2))};
}

std::error_code SqliteCloudDatabase::deleteRecords(std::string_view zone,
                                                   std::span<const std::string> recordNames) {
  if (recordNames.empty()) return {};
  std::lock_guard lock(mutex_);
  auto c = connection();
  if (!c) return c.error();
  Connection& db = **c;
  // Deleted records stay behind as tombstones with a new counter value, so that readers going on
  // from a token learn of the deletion.
  auto result = db.writing([&]() -> Expected<bool, std::error_code> {
    for (const auto& name : recordNames) {
      auto find = db.prepare("SELECT 1 FROM cloud_records WHERE zone = ?1 AND name = ?2 AND deleted = 0");
      if (!find) return Unexpected{find.error()};
      Connection::bindText(find->get(), 1, zone);
      Connection::bindText(find->get(), 2, name);
      auto row = db.step(find->get());
      if (!row) return Unexpected{row.error()};
      if (!*row) continue;
      auto seq = db.nextSequence();
      if (!seq) return Unexpected{seq.error()};
      auto update = db.prepare(
          "UPDATE cloud_records SET deleted = 1, fields = '{}', seq = ?3 WHERE zone = ?1 AND name = ?2");
      if (!update) return Unexpected{update.error()};
      Connection::bindText(update->get(), 1, zone);
      Connection::bindText(update->get(), 2, name);
      sqlite3_bind_int64(update->get(), 3, *seq);
      if (auto done = db.step(update->get()); !done) return Unexpected{done.error()};
    }
    return true;
  });
  if (!result) {
    dropConnectionAfter(result.error());
    return result.error();
  }
  return {};
}

}  // namespace corvel::cloud
