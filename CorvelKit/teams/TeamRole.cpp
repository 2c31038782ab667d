#include "CorvelKit/teams/TeamRole.h"

namespace corvel::teams {

std::string_view rawValue(TeamRole role) {
  switch (role) {
    case TeamRole::member: return "member";
    case TeamRole::admin: return "admin";
    case TeamRole::owner: return "owner";
  }
  return "member";
}

std::string_view title(TeamRole role) {
  switch (role) {
    case TeamRole::member: return "Member";
    case TeamRole::admin: return "Admin";
    case TeamRole::owner: return "Owner";
  }
  return "Member";
}

std::optional<TeamRole> teamRole(std::string_view raw) {
  for (auto role : {TeamRole::member, TeamRole::admin, TeamRole::owner}) {
    if (rawValue(role) == raw) return role;
  }
  return std::nullopt;
}

bool canManageMembers(TeamRole role) { return role != TeamRole::member; }
bool canManageMacs(TeamRole role) { return role != TeamRole::member; }
bool canViewAudit(TeamRole) { return true; }
bool canClearAudit(TeamRole role) { return role == TeamRole::owner; }
bool canManageTeam(TeamRole role) { return role == TeamRole::owner; }

bool canAssign(TeamRole actor, TeamRole role) {
  switch (actor) {
    case TeamRole::member: return false;
    case TeamRole::admin: return role != TeamRole::owner;
    case TeamRole::owner: return true;
  }
  return false;
}

bool canManage(TeamRole actor, TeamRole role) {
  switch (actor) {
    case TeamRole::member: return false;
    case TeamRole::admin: return role == TeamRole::member;
    case TeamRole::owner: return true;
  }
  return false;
}

}  // namespace corvel::teams
