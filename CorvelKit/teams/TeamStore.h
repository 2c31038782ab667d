#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "CorvelKit/base/Expected.h"
#include "CorvelKit/teams/AuditEvent.h"
#include "CorvelKit/teams/SharedMac.h"
#include "CorvelKit/teams/Team.h"
#include "CorvelKit/teams/TeamDatabase.h"
#include "CorvelKit/teams/TeamError.h"
#include "CorvelKit/teams/TeamMember.h"
#include "CorvelKit/teams/TeamState.h"

namespace corvel::teams {

// Teams of the business edition: teams, their members with roles, the computers shared with them
// (each open to every member or to some), invitations and the audit log. Every operation names
// who acts; the role rules are checked here, before anything is written, so no client can do more
// than its role allows through this API (PostgreSQL checks again on its side).
// Blocking; one store per thread.
class TeamStore {
 public:
  // The acting person: the identity fingerprint members are keyed by, and the name they show.
  struct Actor {
    std::string identity;
    std::string name;
  };
  template <class T>
  using Result = Expected<T, std::error_code>;

  static constexpr std::chrono::hours invitationLifetime{24 * 7};

  // Opens (and prepares) the database TeamDatabase::open names.
  static Result<std::unique_ptr<TeamStore>> open(const std::string& location);
  explicit TeamStore(std::unique_ptr<TeamDatabase> database);

  // A new team with the actor as its owner.
  Result<Team> createTeam(const Actor& actor, const std::string& name);
  // The teams the actor is a member of, oldest first.
  Result<std::vector<Team>> teams(const Actor& actor);
  Result<TeamState> state(const Actor& actor, const std::string& teamID);

  // An invitation into the team with `role`: the token to hand to the invited person (a secret;
  // only its hash is stored). Needs a role that may manage members and assign `role`.
  Result<std::string> invite(const Actor& actor, const std::string& teamID, TeamRole role);
  // The actor joins with an invitation's token, once.
  Result<TeamMember> join(const Actor& actor, const std::string& token);
  [[nodiscard]] std::error_code setRole(const Actor& actor, const std::string& teamID, const std::string& identity,
                                        TeamRole role);
  [[nodiscard]] std::error_code removeMember(const Actor& actor, const std::string& teamID,
                                             const std::string& identity);

  // Shares a computer with the team; `access` empty: every member may reach it.
  Result<SharedMac> shareMac(const Actor& actor, const std::string& teamID, const std::string& macID,
                             const std::string& macName, std::vector<std::string> access = {});
  [[nodiscard]] std::error_code setAccess(const Actor& actor, const std::string& teamID, const std::string& macID,
                                          std::vector<std::string> access);
  [[nodiscard]] std::error_code unshareMac(const Actor& actor, const std::string& teamID, const std::string& macID);

  // Writes "actor connected to computer" into the log; only for a computer the actor may reach.
  Result<AuditEvent> recordConnect(const Actor& actor, const std::string& teamID, const std::string& macID);
  Result<std::vector<AuditEvent>> audit(const Actor& actor, const std::string& teamID);
  [[nodiscard]] std::error_code clearAudit(const Actor& actor, const std::string& teamID);

  // The SHA-256 of a token, as stored.
  static std::string tokenHash(const std::string& token);

 private:
  Result<TeamRole> roleOf(const std::string& teamID, const std::string& identity);
  Result<std::vector<TeamMember>> members(const std::string& teamID);
  Result<std::vector<SharedMac>> macs(const std::string& teamID);
  double now() const;

  std::unique_ptr<TeamDatabase> database_;
};

}  // namespace corvel::teams
