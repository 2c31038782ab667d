#pragma once

#include <system_error>

namespace corvel::teams {

// Why a team operation was refused or failed.
enum class TeamError {
  notPermitted = 1,    // the acting member's role doesn't allow it (or they are no member)
  notFound,            // no such team, member, computer or invitation
  invitationInvalid,   // the invitation was used already or has expired
  alreadyMember,       // the identity is in the team already
  lastOwner,           // the team would be left without an owner
  invalid,             // an empty name, an unknown role
  unavailable,         // the database can't be opened or reached
  storeFailed,         // the database refused the operation
};

const std::error_category& teamErrorCategory();

inline std::error_code make_error_code(TeamError e) { return {static_cast<int>(e), teamErrorCategory()}; }

}  // namespace corvel::teams

template <>
struct std::is_error_code_enum<corvel::teams::TeamError> : std::true_type {};
