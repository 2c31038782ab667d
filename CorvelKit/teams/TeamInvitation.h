#pragma once

#include <string>

#include "CorvelKit/base/Date.h"
#include "CorvelKit/teams/TeamRole.h"

namespace corvel::teams {

// An invitation into a team with a role: its token is a secret the invited person receives once
// and uses once; it is never logged.
struct TeamInvitation {
  std::string token;
  std::string teamID;
  TeamRole role = TeamRole::member;
  std::string invitedBy;  // the inviting member's identity
  Date createdAt;
  Date expiresAt;
};

}  // namespace corvel::teams
