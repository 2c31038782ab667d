#pragma once

#include <memory>
#include <string>

#include "CorvelKit/teams/TeamDatabase.h"

struct pg_conn;

namespace corvel::teams {

// The team tables in a shared PostgreSQL database. Each person connects as their own database
// user; row-level security lets a user read only the teams they own or belong to and write what
// their role there allows, whatever SQL they send. Joining with an invitation runs on the server
// (a function that checks the invitation), since nobody sees a team before joining it.
//
// The tables are made by whoever opens the database first with the right to create them: that
// should be an administrator's user, not a team member's (the tables' owner is not bound by the
// rules). The password, when the URL has none, is the cloud database's keychain item.
class PostgresTeamDatabase final : public TeamDatabase {
 public:
  explicit PostgresTeamDatabase(std::string url);
  ~PostgresTeamDatabase() override;

  [[nodiscard]] std::error_code prepare() override;
  Expected<Rows, std::error_code> query(const std::string& sql, const Parameters& parameters = {}) override;
  [[nodiscard]] std::error_code transaction(const std::function<std::error_code()>& work) override;
  std::string databaseUser() override;
  Expected<std::string, std::error_code> acceptInvitation(const std::string& tokenHash, const std::string& memberID,
                                                          const std::string& identity, const std::string& displayName,
                                                          double now) override;

  // The access rules, for the tests that check them with SQL of their own.
  static const char* accessRules();

 private:
  std::error_code connect();

  std::string url_;
  pg_conn* connection_ = nullptr;
  int depth_ = 0;
};

}  // namespace corvel::teams
