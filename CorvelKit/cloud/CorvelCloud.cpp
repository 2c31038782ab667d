#include "CorvelKit/cloud/CorvelCloud.h"

#include "CorvelKit/base/UUID.h"

namespace corvel::cloud {

std::string CorvelCloud::accountSummary() {
  auto status = database_->accountStatus();
  auto user = database_->userRecordName();
  return "account status " + std::to_string(static_cast<int>(status)) + " (1 = available), user " +
         (user ? user->substr(0, 12) : std::string("none"));
}

std::error_code CorvelCloud::ensureZone() { return database_->saveZone(zone); }

std::error_code CorvelCloud::subscribeToChanges(CloudDatabase::ChangeHandler handler) {
  return database_->saveSubscription(subscriptionID, std::move(handler));
}

void CorvelCloud::unsubscribe() { database_->removeSubscription(subscriptionID); }

std::error_code CorvelCloud::publish(const CloudMac& mac) {
  auto saved = database_->save(zone, mac.record(), SavePolicy::overwrite);
  return saved ? std::error_code() : saved.error();
}

Expected<CorvelCloud::Everything, std::error_code> CorvelCloud::fetchAll() {
  auto records = database_->fetchAll(zone);
  if (!records) return Unexpected{records.error()};
  Everything all;
  for (const auto& r : *records) {
    if (r.recordType == CloudMac::recordType) {
      if (auto mac = CloudMac::from(r)) all.macs.push_back(std::move(*mac));
    } else if (r.recordType == CloudCommand::recordType) {
      if (auto command = CloudCommand::from(r)) all.commands.push_back(std::move(*command));
    }
  }
  return all;
}

std::error_code CorvelCloud::send(net::CloudAction action, const std::string& macID,
                                  const std::string& sender, Date now) {
  CloudCommand command{UUID::random().string(), macID, action, sender, now};
  auto saved = database_->save(zone, command.record(), SavePolicy::ifUnchanged);
  return saved ? std::error_code() : saved.error();
}

std::error_code CorvelCloud::remove(std::span<const CloudCommand> commands) {
  if (commands.empty()) return {};
  std::vector<std::string> names;
  names.reserve(commands.size());
  for (const auto& c : commands) names.push_back(c.id);
  return database_->deleteRecords(zone, names);
}

}  // namespace corvel::cloud
