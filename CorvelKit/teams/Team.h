#pragma once

#include <string>

#include "CorvelKit/base/Date.h"

namespace corvel::teams {

// A team formed around an owner's computers (record type "Team" of the zone "AmbrelTeam").
struct Team {
  std::string id;
  std::string name;
  std::string ownerName;
  Date createdAt;

  friend bool operator==(const Team&, const Team&) = default;
};

}  // namespace corvel::teams
