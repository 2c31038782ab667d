#pragma once

#include <string_view>
#include <vector>

namespace corvel::tool {

// `corvel team …`: the teams of the business edition in a team database (a SQLite file, by
// default this computer's own, or a shared PostgreSQL database), acting as this computer's
// identity:
//   team create NAME                 a new team, with us as its owner; prints its id
//   team list [TEAM]                 our teams, or one team's members, computers and roles
//   team invite TEAM [ROLE]          an invitation (member unless ROLE says admin or owner):
//                                    prints its token, to hand to the invited person
//   team join TOKEN                  joins the team of an invitation
//   team role TEAM IDENTITY ROLE     gives a member another role
//   team remove TEAM IDENTITY        takes a member out
//   team share TEAM MAC-ID NAME [IDENTITY…]   shares a computer (with some members only)
//   team connect TEAM MAC-ID         writes "we connected" into the audit log
//   team audit TEAM [--clear]        the audit log, newest first (or clears it: owner only)
// Options anywhere after `team`: --database FILE|URL, --name NAME (the name others see).
struct TeamCommand {
  static int run(const std::vector<std::string_view>& args);
};

}  // namespace corvel::tool
