#pragma once

#include <filesystem>
#include <memory>

#include "CorvelKit/teams/TeamDatabase.h"

struct sqlite3;

namespace corvel::teams {

// The team tables in a SQLite file of this machine (for one person's own use and for tests).
class SqliteTeamDatabase final : public TeamDatabase {
 public:
  // Teams.sqlite in the data folder.
  static std::filesystem::path defaultFile();

  explicit SqliteTeamDatabase(std::filesystem::path file);
  ~SqliteTeamDatabase() override;

  [[nodiscard]] std::error_code prepare() override;
  Expected<Rows, std::error_code> query(const std::string& sql, const Parameters& parameters = {}) override;
  [[nodiscard]] std::error_code transaction(const std::function<std::error_code()>& work) override;
  std::string databaseUser() override { return {}; }
  Expected<std::string, std::error_code> acceptInvitation(const std::string& tokenHash, const std::string& memberID,
                                                          const std::string& identity, const std::string& displayName,
                                                          double now) override;

 private:
  std::filesystem::path file_;
  sqlite3* db_ = nullptr;
  int depth_ = 0;  // transactions under way (only the outer one is real)
};

}  // namespace corvel::teams
