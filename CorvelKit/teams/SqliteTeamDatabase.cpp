#include "CorvelKit/teams/SqliteTeamDatabase.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "CorvelKit/base/Log.h"
#include "CorvelKit/base/Paths.h"
#include "CorvelKit/cloud/SqliteHandles.h"
#include "CorvelKit/teams/TeamError.h"
#include "CorvelKit/teams/TeamSchema.h"

namespace corvel::teams {

namespace {

auto& log() { return Log::core("teams"); }
using Failure = Unexpected<std::error_code>;

std::string dateText(double d) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.6f", d);
  return buffer;
}

}  // namespace

std::filesystem::path SqliteTeamDatabase::defaultFile() { return Paths::dataFolder() / "Teams.sqlite"; }

SqliteTeamDatabase::SqliteTeamDatabase(std::filesystem::path file) : file_(std::move(file)) {}

SqliteTeamDatabase::~SqliteTeamDatabase() {
  if (db_ != nullptr) sqlite3_close_v2(db_);
}

std::error_code SqliteTeamDatabase::prepare() {
  if (db_ != nullptr) return {};
  std::error_code ec;
  if (file_.has_parent_path()) std::filesystem::create_directories(file_.parent_path(), ec);
  if (sqlite3_open_v2(file_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    log().error("can't open the team database: {}", db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory");
    sqlite3_close_v2(db_);
    db_ = nullptr;
    return TeamError::unavailable;
  }
  ::chmod(file_.c_str(), 0600);
  sqlite3_busy_timeout(db_, 5000);
  char* message = nullptr;
  const std::string setup = "PRAGMA foreign_keys = ON; PRAGMA journal_mode = WAL;" + std::string(TeamSchema::tables);
  if (sqlite3_exec(db_, setup.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    log().error("can't prepare the team database: {}", message != nullptr ? message : "?");
    sqlite3_free(message);
    return TeamError::unavailable;
  }
  return {};
}

Expected<TeamDatabase::Rows, std::error_code> SqliteTeamDatabase::query(const std::string& sql,
                                                                        const Parameters& parameters) {
  if (db_ == nullptr) return Failure{make_error_code(TeamError::unavailable)};
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &raw, nullptr) != SQLITE_OK) {
    log().error("team query refused: {}", sqlite3_errmsg(db_));
    return Failure{make_error_code(TeamError::storeFailed)};
  }
  cloud::SqliteStatement statement(raw);
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    const auto name = "$" + std::to_string(i + 1);
    const int index = sqlite3_bind_parameter_index(raw, name.c_str());
    if (index == 0) continue;
    const auto& value = parameters[i];
    if (value) {
      sqlite3_bind_text(raw, index, value->data(), static_cast<int>(value->size()), SQLITE_TRANSIENT);
    } else {
      sqlite3_bind_null(raw, index);
    }
  }
  Rows rows;
  for (;;) {
    const int rc = sqlite3_step(raw);
    if (rc == SQLITE_DONE) break;
    if (rc != SQLITE_ROW) {
      const int base = rc & 0xff;
      if (base == SQLITE_CONSTRAINT) return Failure{make_error_code(TeamError::alreadyMember)};
      log().error("team query failed: {}", sqlite3_errmsg(db_));
      return Failure{make_error_code(base == SQLITE_BUSY ? TeamError::unavailable : TeamError::storeFailed)};
    }
    Row row;
    for (int c = 0; c < sqlite3_column_count(raw); ++c) {
      const auto* text = sqlite3_column_text(raw, c);
      if (text == nullptr) {
        row.emplace_back(std::nullopt);
      } else {
        row.emplace_back(std::string(reinterpret_cast<const char*>(text),
                                     static_cast<std::size_t>(sqlite3_column_bytes(raw, c))));
      }
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

std::error_code SqliteTeamDatabase::transaction(const std::function<std::error_code()>& work) {
  if (db_ == nullptr) return TeamError::unavailable;
  if (depth_ > 0) return work();
  if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return TeamError::unavailable;
  ++depth_;
  auto ec = work();
  --depth_;
  if (ec) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return ec;
  }
  if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return TeamError::storeFailed;
  }
  return {};
}

Expected<std::string, std::error_code> SqliteTeamDatabase::acceptInvitation(const std::string& tokenHash,
                                                                            const std::string& memberID,
                                                                            const std::string& identity,
                                                                            const std::string& displayName,
                                                                            double now) {
  std::string teamID;
  auto ec = transaction([&]() -> std::error_code {
    auto rows = query("SELECT team_id, role, expires_at, accepted_by FROM ambrel_team_invitations WHERE token_hash = $1",
                      {tokenHash});
    if (!rows) return rows.error();
    if (rows->empty()) return TeamError::notFound;
    const auto& r = rows->front();
    if (r[3] || std::strtod(r[2].value_or("0").c_str(), nullptr) < now) return TeamError::invitationInvalid;
    teamID = r[0].value_or("");
    auto existing = query("SELECT 1 FROM ambrel_team_members WHERE team_id = $1 AND identity = $2", {teamID, identity});
    if (!existing) return existing.error();
    if (!existing->empty()) return TeamError::alreadyMember;
    auto taken = query("UPDATE ambrel_team_invitations SET accepted_by = $2 WHERE token_hash = $1", {tokenHash, identity});
    if (!taken) return taken.error();
    auto added = query(
        "INSERT INTO ambrel_team_members (id, team_id, identity, display_name, role, added_at, db_user) "
        "VALUES ($1, $2, $3, $4, $5, $6, '')",
        {memberID, teamID, identity, displayName, r[1], dateText(now)});
    return added ? std::error_code{} : added.error();
  });
  if (ec) return Failure{ec};
  return teamID;
}

}  // namespace corvel::teams
