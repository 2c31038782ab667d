#pragma once

#include <string>

#include "CorvelKit/base/Date.h"
#include "CorvelKit/teams/TeamRole.h"

namespace corvel::teams {

// One person in a team, keyed by their identity fingerprint (record type "TeamMember").
struct TeamMember {
  std::string id;
  std::string teamID;
  std::string identity;
  std::string displayName;
  TeamRole role = TeamRole::member;
  Date addedAt;

  friend bool operator==(const TeamMember&, const TeamMember&) = default;
};

}  // namespace corvel::teams
