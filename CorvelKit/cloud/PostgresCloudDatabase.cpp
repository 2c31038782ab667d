#include "CorvelKit/cloud/PostgresCloudDatabase.h"

#include <poll.h>

#include <charconv>
#include <chrono>
#include <optional>
#include <utility>
#include <vector>

#include "CorvelKit/base/Log.h"
#include "CorvelKit/base/UUID.h"
#include "CorvelKit/cloud/CloudFieldCoding.h"
#include "CorvelKit/cloud/PostgresHandles.h"
#include "CorvelKit/security/Keychain.h"

namespace corvel::cloud {

namespace {

auto& log() {
  static auto& logger = Log::core("cloud");
  return logger;
}

constexpr auto kListenPoll = std::chrono::milliseconds(200);
constexpr auto kReconnectPause = std::chrono::seconds(1);
// Serialises the creation of the tables by several devices meeting an empty database.
constexpr const char* kSchemaLock = "726501";

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS cloud_meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS cloud_sequence (id INTEGER PRIMARY KEY CHECK (id = 0), value BIGINT NOT NULL);
INSERT INTO cloud_sequence (id, value) VALUES (0, 0) ON CONFLICT DO NOTHING;
CREATE TABLE IF NOT EXISTS cloud_zones (name TEXT PRIMARY KEY);
CREATE TABLE IF NOT EXISTS cloud_records (
  zone TEXT NOT NULL, name TEXT NOT NULL, type TEXT NOT NULL, fields TEXT NOT NULL,
  seq BIGINT NOT NULL, deleted BOOLEAN NOT NULL DEFAULT FALSE, PRIMARY KEY (zone, name));
CREATE INDEX IF NOT EXISTS cloud_records_by_seq ON cloud_records (zone, seq);
)sql";

std::optional<std::int64_t> parseCounter(std::string_view text) {
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
  return value;
}

// Opens a connection: the URL as given, with the keychain's password when there is one.
PostgresConnection open(const std::string& url) {
  auto password = security::Keychain::get(PostgresCloudDatabase::passwordAccount,
                                          PostgresCloudDatabase::passwordService);
  std::vector<const char*> keys{"dbname"};
  std::vector<const char*> values{url.c_str()};
  if (password && !password->empty()) {
    keys.push_back("password");
    values.push_back(password->c_str());
  }
  keys.push_back("connect_timeout");
  values.push_back("5");
  keys.push_back(nullptr);
  values.push_back(nullptr);
  // expand_dbname: "dbname" carries the whole URL; the keywords after it override its parts.
  PostgresConnection connection(PQconnectdbParams(keys.data(), values.data(), 1));
  if (password) std::fill(password->begin(), password->end(), '\0');
  return connection;
}

}  // namespace

// One libpq connection with the statement helpers of the store. Failures are logged once here
// with the server's message (which never holds the password) and returned as the store's error.
class PostgresCloudDatabase::Connection {
 public:
  explicit Connection(PostgresConnection pg) : pg_(std::move(pg)) {}

  bool healthy() const { return PQstatus(pg_.get()) == CONNECTION_OK; }

  Expected<PostgresResult, std::error_code> run(const char* sql, std::vector<std::string> params = {}) {
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const auto& p : params) values.push_back(p.c_str());
    PostgresResult result(PQexecParams(pg_.get(), sql, static_cast<int>(values.size()), nullptr,
                                       values.data(), nullptr, nullptr, 0));
    auto status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return result;
    log().warn("cloud store: {}", PQerrorMessage(pg_.get()));
    if (!healthy()) return Unexpected{std::error_code(CloudError::unavailable)};
    return Unexpected{std::error_code(CloudError::storeFailed)};
  }

  // Runs several statements without parameters.
  std::error_code exec(const char* sql) {
    PostgresResult result(PQexec(pg_.get(), sql));
    auto status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return {};
    log().warn("cloud store: {}", PQerrorMessage(pg_.get()));
    return healthy() ? CloudError::storeFailed : CloudError::unavailable;
  }

  // Runs `body` in a transaction of the given kind, committed when it returns no error.
  template <class F>
  auto transaction(const char* begin, F&& body) -> decltype(body()) {
    if (auto ec = exec(begin)) return Unexpected{ec};
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

  // The next counter value; also takes the counter row's lock until the transaction ends.
  Expected<std::int64_t, std::error_code> nextSequence() {
    auto result = run("UPDATE cloud_sequence SET value = value + 1 WHERE id = 0 RETURNING value");
    if (!result) return Unexpected{result.error()};
    return integer(result->get(), 0, 0);
  }

  Expected<bool, std::error_code> zoneExists(std::string_view zone) {
    auto result = run("SELECT 1 FROM cloud_zones WHERE name = $1", {std::string(zone)});
    if (!result) return Unexpected{result.error()};
    return PQntuples(result->get()) > 0;
  }

  static std::string text(const PGresult* r, int row, int column) {
    return std::string(PQgetvalue(r, row, column), static_cast<std::size_t>(PQgetlength(r, row, column)));
  }
  static std::int64_t integer(const PGresult* r, int row, int column) {
    if (PQntuples(r) <= row) return 0;
    return parseCounter(PQgetvalue(r, row, column)).value_or(0);
  }

  PGconn* get() const { return pg_.get(); }

 private:
  PostgresConnection pg_;
};

PostgresCloudDatabase::URLCheck PostgresCloudDatabase::checkURL(std::string_view url) {
  std::string text(url);
  char* message = nullptr;
  PQconninfoOption* options = PQconninfoParse(text.c_str(), &message);
  if (message != nullptr) PQfreemem(message);  // it may quote the text: not logged
  if (options == nullptr) return URLCheck::malformed;
  URLCheck result = URLCheck::valid;
  for (const PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
    if (std::string_view(o->keyword) == "password" && o->val != nullptr && o->val[0] != '\0') {
      result = URLCheck::holdsPassword;
    }
  }
  PQconninfoFree(options);
  return result;
}

PostgresCloudDatabase::PostgresCloudDatabase(std::string url) : url_(std::move(url)) {}

PostgresCloudDatabase::~PostgresCloudDatabase() = default;

Expected<PostgresCloudDatabase::Connection*, std::error_code> PostgresCloudDatabase::connection() {
  if (connection_ && connection_->healthy()) return connection_.get();
  connection_.reset();
  auto opened = std::make_unique<Connection>(open(url_));
  if (!opened->healthy()) {
    log().warn("cloud store unreachable: {}", PQerrorMessage(opened->get()));
    return Unexpected{std::error_code(CloudError::unavailable)};
  }
  opened->exec("SET client_min_messages = warning");
  auto schema = opened->transaction("BEGIN", [&]() -> Expected<bool, std::error_code> {
    auto locked = opened->run("SELECT pg_advisory_xact_lock($1::bigint)", {kSchemaLock});
    if (!locked) return Unexpected{locked.error()};
    if (auto ec = opened->exec(kSchema)) return Unexpected{ec};
    return true;
  });
  if (!schema) return Unexpected{schema.error()};
  connection_ = std::move(opened);
  return connection_.get();
}

void PostgresCloudDatabase::dropConnectionAfter(std::error_code error) {
  if (error == CloudError::unavailable) connection_.reset();
}

AccountStatus PostgresCloudDatabase::accountStatus() {
  std::lock_guard lock(mutex_);
  return connection() ? AccountStatus::available : AccountStatus::undetermined;
}

Expected<std::string, std::error_code> PostgresCloudDatabase::userRecordName() {
  std::lock_guard lock(mutex_);
  auto c = connection();
  if (!c) return Unexpected{c.error()};
  Connection& db = **c;
  auto result = db.run(
      "WITH made AS (INSERT INTO cloud_meta (key, value) VALUES ('owner', $1) "
      "ON CONFLICT (key) DO NOTHING RETURNING value) "
      "SELECT value FROM made UNION ALL SELECT value FROM cloud_meta WHERE key = 'owner'",
      {"_" + UUID::random().string()});
  if (!result) {
    dropConnectionAfter(result.error());
    return Unexpected{result.error()};
  }
  if (PQntuples(result->get()) == 0) return Unexpected{std::error_code(CloudError::storeFailed)};
  return Connection::text(result->get(), 0, 0);
}

std::error_code PostgresCloudDatabase::saveZone(std::string_view zone) {
  std::lock_guard lock(mutex_);
  auto c = connection();
  if (!c) return c.error();
  auto result = (*c)->run("INSERT INTO cloud_zones (name) VALUES ($1) ON CONFLICT DO NOTHING",
                          {std::string(zone)});
  if (!result) {
    dropConnectionAfter(result.error());
    return result.error();
  }
  return {};
}

std::error_code PostgresCloudDatabase::saveSubscription(std::string_view identifier,
                                                        ChangeHandler handler) {
  subscribers_.save(identifier, std::move(handler));
  return {};
}

void PostgresCloudDatabase::removeSubscription(std::string_view identifier) {
  subscribers_.remove(identifier);
}

void PostgresCloudDatabase::listen(std::stop_token stop) {
  auto pause = [&stop](std::chrono::milliseconds duration) { ChangeSubscribers::pause(stop, duration); };
  bool everListened = false;
  while (!stop.stop_requested()) {
    PostgresConnection pg = open(url_);
    if (PQstatus(pg.get()) != CONNECTION_OK) {
      pause(kReconnectPause);
      continue;
    }
    PostgresResult listening(PQexec(pg.get(), "LISTEN corvel_changes"));
    if (PQresultStatus(listening.get()) != PGRES_COMMAND_OK) {
      log().warn("cloud store: cannot listen for changes: {}", PQerrorMessage(pg.get()));
      pause(kReconnectPause);
      continue;
    }
    // Changes made while the listener was away were not announced.
    if (everListened) subscribers_.signal();
    everListened = true;
    while (!stop.stop_requested() && PQstatus(pg.get()) == CONNECTION_OK) {
      pollfd fd{PQsocket(pg.get()), POLLIN, 0};
      int ready = ::poll(&fd, 1, static_cast<int>(kListenPoll.count()));
      if (ready < 0) continue;
      if (ready > 0 && PQconsumeInput(pg.get()) == 0) break;  // the connection is gone
      bool changed = false;
      while (PostgresNotify notify{PQnotifies(pg.get())}) changed = true;
      if (changed) subscribers_.signal();
    }
    if (!stop.stop_requested()) pause(kReconnectPause);
  }
}

Expected<ChangeBatch, std::error_code> PostgresCloudDatabase::fetchZoneChanges(std::string_view zone,
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
  // One snapshot for the zone, the counter and the rows.
  auto result = db.transaction(
      "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", [&]() -> Expected<ChangeBatch, std::error_code> {
        auto exists = db.zoneExists(zone);
        if (!exists) return Unexpected{exists.error()};
        if (!*exists) return Unexpected{std::error_code(CloudError::zoneNotFound)};
        auto counter = db.run("SELECT value FROM cloud_sequence WHERE id = 0");
        if (!counter) return Unexpected{counter.error()};
        std::int64_t current = Connection::integer(counter->get(), 0, 0);
        if (since > current) return Unexpected{std::error_code(CloudError::invalidToken)};
        auto rows = db.run(
            "SELECT name, type, fields, seq, deleted FROM cloud_records "
            "WHERE zone = $1 AND seq > $2::bigint AND (NOT deleted OR $2::bigint > 0) "
            "ORDER BY seq LIMIT $3::bigint",
            {std::string(zone), std::to_string(since), std::to_string(limit + 1)});
        if (!rows) return Unexpected{rows.error()};
        const PGresult* r = rows->get();
        int count = PQntuples(r);
        ChangeBatch batch;
        batch.moreComing = static_cast<std::size_t>(count) > limit;
        if (batch.moreComing) count = static_cast<int>(limit);
        std::int64_t reached = since;
        for (int i = 0; i < count; ++i) {
          reached = Connection::integer(r, i, 3);
          if (Connection::text(r, i, 4) == "t") {
            batch.deleted.push_back(Connection::text(r, i, 0));
            continue;
          }
          auto fields = CloudFieldCoding::decode(Connection::text(r, i, 2));
          if (!fields) {
            log().warn("cloud store: skipped a corrupt record");
            continue;
          }
          batch.changed.push_back(CloudRecord{Connection::text(r, i, 1), Connection::text(r, i, 0),
                                              std::move(*fields), std::to_string(reached)});
        }
        batch.token = std::to_string(batch.moreComing ? reached : current);
        return batch;
      });
  if (!result) dropConnectionAfter(result.error());
  return result;
}

Expected<CloudRecord, std::error_code> PostgresCloudDatabase::save(std::string_view zone,
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
  auto result = db.transaction("BEGIN", [&]() -> Expected<CloudRecord, std::error_code> {
    auto exists = db.zoneExists(zone);
    if (!exists) return Unexpected{exists.error()};
    if (!*exists) return Unexpected{std::error_code(CloudError::zoneNotFound)};
    // The counter's lock first: from here on no other writer runs until this one ends.
    auto seq = db.nextSequence();
    if (!seq) return Unexpected{seq.error()};
    if (policy == SavePolicy::ifUnchanged) {
      auto stored = db.run("SELECT seq FROM cloud_records WHERE zone = $1 AND name = $2 AND NOT deleted",
                           {std::string(zone), record.recordName});
      if (!stored) return Unexpected{stored.error()};
      std::string tag = PQntuples(stored->get()) > 0 ? Connection::text(stored->get(), 0, 0) : "";
      if (tag != record.changeTag) return Unexpected{std::error_code(CloudError::conflict)};
    }
    auto written = db.run(
        "INSERT INTO cloud_records (zone, name, type, fields, seq, deleted) "
        "VALUES ($1, $2, $3, $4, $5::bigint, FALSE) ON CONFLICT (zone, name) DO UPDATE SET "
        "type = excluded.type, fields = excluded.fields, seq = excluded.seq, deleted = FALSE",
        {std::string(zone), record.recordName, record.recordType, *encoded, std::to_string(*seq)});
    if (!written) return Unexpected{written.error()};
    if (auto ec = db.exec("NOTIFY corvel_changes")) return Unexpected{ec};
    CloudRecord saved = record;
    saved.changeTag = std::to_string(*seq);
    return saved;
  });
  if (!result) dropConnectionAfter(result.error());
  return result;
}

Expected<CloudRecord, std::error_code> PostgresCloudDatabase::fetch(std::string_view zone,
                                                                    std::string_view recordName) {
  std::lock_guard lock(mutex_);
  auto c = connection();
  if (!c) return Unexpected{c.error()};
  auto rows = (*c)->run(
      "SELECT type, fields, seq FROM cloud_records WHERE zone = $1 AND name = $2 AND NOT deleted",
      {std::string(zone), std::string(recordName)});
  if (!rows) {
    dropConnectionAfter(rows.error());
    return Unexpected{rows.error()};
  }
  const PGresult* r = rows->get();
  if (PQntuples(r) == 0) return Unexpected{std::error_code(CloudError::recordNotFound)};
  auto fields = CloudFieldCoding::decode(Connection::text(r, 0, 1));
  if (!fields) return Unexpected{fields.error()};
  return CloudRecord{Connection::text(r, 0, 0), std::string(recordName), std::move(*fields),
                     Connection::text(r, 0, 2)};
}

std::error_code PostgresCloudDatabase::deleteRecords(std::string_view zone,
                                                     std::span<const std::string> recordNames) {
  if (recordNames.empty()) return {};
  std::lock_guard lock(mutex_);
  auto c = connection();
  if (!c) return c.error();
  Connection& db = **c;
  auto result = db.transaction("BEGIN", [&]() -> Expected<bool, std::error_code> {
    // The counter's lock first, as every writer takes it.
    auto locked = db.run("SELECT value FROM cloud_sequence WHERE id = 0 FOR UPDATE");
    if (!locked) return Unexpected{locked.error()};
    bool any = false;
    for (const auto& name : recordNames) {
      auto found = db.run("SELECT 1 FROM cloud_records WHERE zone = $1 AND name = $2 AND NOT deleted",
                          {std::string(zone), name});
      if (!found) return Unexpected{found.error()};
      if (PQntuples(found->get()) == 0) continue;
      auto seq = db.nextSequence();
      if (!seq) return Unexpected{seq.error()};
      // Kept as a tombstone with a new counter value, so that readers going on from a token
      // learn of the deletion.
      auto gone = db.run(
          "UPDATE cloud_records SET deleted = TRUE, fields = '{}', seq = $3::bigint "
          "WHERE zone = $1 AND name = $2",
          {std::string(zone), name, std::to_string(*seq)});
      if (!gone) return Unexpected{gone.error()};
      any = true;
    }
    if (any) {
      if (auto ec = db.exec("NOTIFY corvel_changes")) return Unexpected{ec};
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
