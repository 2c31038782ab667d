#pragma once

#include <optional>
#include <string>

#include "CorvelKit/base/Date.h"
#include "CorvelKit/cloud/CloudRecord.h"
#include "CorvelKit/net/CloudAction.h"

namespace corvel::cloud {

// A command one of the owner's devices leaves for a host ("Command").
struct CloudCommand {
  static constexpr std::string_view recordType = "Command";

  std::string id;  // the record name: a new UUID per command
  std::string macID;
  net::CloudAction action = net::CloudAction::playSound;
  std::string sender = "Another device";
  Date createdAt{-1e12};  // the distant past

  CloudRecord record() const;
  // Nothing for a record of another type, without a target, with an unknown action, or with a
  // field of the wrong type.
  static std::optional<CloudCommand> from(const CloudRecord& record);

  friend bool operator==(const CloudCommand&, const CloudCommand&) = default;
};

}  // namespace corvel::cloud
