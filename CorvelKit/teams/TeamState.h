#pragma once

#include <optional>
#include <string>
#include <vector>

#include "CorvelKit/teams/AuditEvent.h"
#include "CorvelKit/teams/SharedMac.h"
#include "CorvelKit/teams/Team.h"
#include "CorvelKit/teams/TeamMember.h"

namespace corvel::teams {

// Everything of one team that a member sees.
struct TeamState {
  std::optional<Team> team;
  std::vector<TeamMember> members;
  std::vector<SharedMac> macs;
  std::vector<AuditEvent> audit;  // newest first
  bool amOwner = false;

  // The role of the first member with that identity; `member` when there is none.
  TeamRole role(const std::string& identity) const;
  std::vector<SharedMac> macsReachableBy(const std::string& identity) const;
};

}  // namespace corvel::teams
