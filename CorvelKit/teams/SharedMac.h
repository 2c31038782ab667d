#pragma once

#include <string>
#include <vector>

#include "CorvelKit/base/Date.h"

namespace corvel::teams {

// A computer shared with a team (record type "SharedMac"). `access` lists the identities that may
// reach it; empty means every member.
struct SharedMac {
  std::string id;
  std::string teamID;
  std::string macID;
  std::string macName;
  std::vector<std::string> access;
  Date addedAt;

  bool isReachable(const std::string& identity) const;

  friend bool operator==(const SharedMac&, const SharedMac&) = default;
};

}  // namespace corvel::teams
