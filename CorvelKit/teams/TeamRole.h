#pragma once

#include <optional>
#include <string_view>

namespace corvel::teams {

// A member's standing in a team, ordered member < admin < owner.
enum class TeamRole { member, admin, owner };

std::string_view rawValue(TeamRole role);  // "member", "admin", "owner"
std::string_view title(TeamRole role);     // "Member", "Admin", "Owner"
std::optional<TeamRole> teamRole(std::string_view raw);

// What a role may do.
bool canManageMembers(TeamRole role);  // admin, owner
bool canManageMacs(TeamRole role);     // admin, owner
bool canViewAudit(TeamRole role);      // everyone
bool canClearAudit(TeamRole role);     // owner
bool canManageTeam(TeamRole role);     // owner
// Whether `actor` may give a member the role `role`: an admin member or admin, an owner any role.
bool canAssign(TeamRole actor, TeamRole role);
// Whether `actor` may change or remove a member who has `role`: an admin only members, an owner
// anyone.
bool canManage(TeamRole actor, TeamRole role);

}  // namespace corvel::teams
