#include "CorvelKit/teams/TeamDatabase.h"

#include "CorvelKit/teams/PostgresTeamDatabase.h"
#include "CorvelKit/teams/SqliteTeamDatabase.h"

namespace corvel::teams {

std::unique_ptr<TeamDatabase> TeamDatabase::open(const std::string& location) {
  if (location.empty()) return std::make_unique<SqliteTeamDatabase>(SqliteTeamDatabase::defaultFile());
  const bool postgres = location.starts_with("postgresql://") || location.starts_with("postgres://") ||
                        location.find('=') != std::string::npos;
  if (postgres) return std::make_unique<PostgresTeamDatabase>(location);
  return std::make_unique<SqliteTeamDatabase>(location);
}

}  // namespace corvel::teams
