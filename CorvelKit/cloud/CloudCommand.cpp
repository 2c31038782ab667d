#include "CorvelKit/cloud/CloudCommand.h"

namespace corvel::cloud {

CloudRecord CloudCommand::record() const {
  CloudRecord r;
  r.recordType = std::string(recordType);
  r.recordName = id;
  r.fields = {{"macID", macID},
              {"action", std::string(net::rawValue(action))},
              {"sender", sender},
              {"createdAt", createdAt}};
  return r;
}

std::optional<CloudCommand> CloudCommand::from(const CloudRecord& r) {
  if (r.recordType != recordType || r.recordName.empty()) return std::nullopt;
  auto* macID = r.string("macID");
  auto* raw = r.string("action");
  if (macID == nullptr || raw == nullptr) return std::nullopt;
  // Optional fields of another type mean a writer this version does not understand.
  if ((r.fields.contains("sender") && r.string("sender") == nullptr) ||
      (r.fields.contains("createdAt") && r.date("createdAt") == nullptr)) {
    return std::nullopt;
  }
  auto action = net::cloudAction(*raw);
  if (!action) return std::nullopt;
  CloudCommand c;
  c.id = r.recordName;
  c.macID = *macID;
  c.action = *action;
  if (auto* v = r.string("sender")) c.sender = *v;
  if (auto* v = r.date("createdAt")) c.createdAt = *v;
  return c;
}

}  // namespace corvel::cloud
