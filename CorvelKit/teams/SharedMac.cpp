#include "CorvelKit/teams/SharedMac.h"

#include <algorithm>

namespace corvel::teams {

bool SharedMac::isReachable(const std::string& identity) const {
  return access.empty() || std::find(access.begin(), access.end(), identity) != access.end();
}

}  // namespace corvel::teams
