#include "CorvelKit/teams/TeamState.h"

namespace corvel::teams {

TeamRole TeamState::role(const std::string& identity) const {
  for (const auto& m : members) {
    if (m.identity == identity) return m.role;
  }
  return TeamRole::member;
}

std::vector<SharedMac> TeamState::macsReachableBy(const std::string& identity) const {
  std::vector<SharedMac> out;
  for (const auto& mac : macs) {
    if (mac.isReachable(identity)) out.push_back(mac);
  }
  return out;
}

}  // namespace corvel::teams
