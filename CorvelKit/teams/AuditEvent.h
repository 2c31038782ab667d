#pragma once

#include <string>

#include "CorvelKit/base/Date.h"

namespace corvel::teams {

// One entry of a team's audit log (record type "AuditEvent"): who connected to which computer.
struct AuditEvent {
  enum class Kind { connect };

  std::string id;
  std::string teamID;
  std::string actorID;
  std::string actorName;
  std::string macID;
  std::string macName;
  Kind kind = Kind::connect;
  Date at;

  // "<actorName> connected to <macName>".
  std::string summary() const { return actorName + " connected to " + macName; }

  friend bool operator==(const AuditEvent&, const AuditEvent&) = default;
};

}  // namespace corvel::teams
