#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "CorvelKit/base/Expected.h"

namespace corvel::teams {

// The SQL database under the team store: statements with $1, $2… parameters (text or null),
// rows of text (null as nothing). Both backends keep the same tables; PostgreSQL adds row-level
// security so that a database user only ever sees the teams they belong to.
class TeamDatabase {
 public:
  using Row = std::vector<std::optional<std::string>>;
  using Rows = std::vector<Row>;
  using Parameters = std::vector<std::optional<std::string>>;

  // A SQLite file for a path (empty: the default file), else the PostgreSQL database a
  // connection URL or keyword string names.
  static std::unique_ptr<TeamDatabase> open(const std::string& location);

  virtual ~TeamDatabase() = default;

  // Creates the tables (and, where it applies, their access rules) if missing.
  [[nodiscard]] virtual std::error_code prepare() = 0;
  virtual Expected<Rows, std::error_code> query(const std::string& sql, const Parameters& parameters = {}) = 0;
  // Runs `work` in one transaction: committed when it returns no error, else rolled back.
  [[nodiscard]] virtual std::error_code transaction(const std::function<std::error_code()>& work) = 0;
  // The database's own name for who is connected (PostgreSQL's user), or empty.
  virtual std::string databaseUser() = 0;
  // Takes the unused, unexpired invitation whose token hashes to `tokenHash` and adds the member
  // it invites, in one step: the team's id, or notFound / invitationInvalid / alreadyMember.
  // (With PostgreSQL the invited person can't see the invitation before they are in the team, so
  // the server does it.)
  virtual Expected<std::string, std::error_code> acceptInvitation(const std::string& tokenHash,
                                                                  const std::string& memberID,
                                                                  const std::string& identity,
                                                                  const std::string& displayName,
                                                                  double now) = 0;
};

}  // namespace corvel::teams
