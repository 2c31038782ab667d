#include "CorvelKit/cloud/CorvelCloud.h"

#include "CorvelKit/base/Log.h"
#include "CorvelKit/base/UUID.h"

namespace corvel::cloud {

namespace {

auto& log() {
  static auto& logger = Log::core("cloud");
  return logger;
}

// A name another device wrote, fit for one log line.
std::string printable(std::string_view text) {
  std::string out;
  for (unsigned char c : text.substr(0, 80)) out += (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
  return out;
}

}  // namespace

void CorvelCloud::setOwnerKey(std::shared_ptr<const OwnerKey> key) {
  std::lock_guard lock(keyMutex_);
  ownerKey_ = std::move(key);
}

bool CorvelCloud::hasOwnerKey() const { return ownerKey() != nullptr; }

std::shared_ptr<const OwnerKey> CorvelCloud::ownerKey() const {
  std::lock_guard lock(keyMutex_);
  return ownerKey_;
}

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
  auto key = ownerKey();
  auto saved = database_->save(zone, mac.record(key.get()), SavePolicy::overwrite);
  return saved ? std::error_code() : saved.error();
}

Expected<CorvelCloud::Everything, std::error_code> CorvelCloud::fetchAll() {
  auto records = database_->fetchAll(zone);
  if (!records) return Unexpected{records.error()};
  auto key = ownerKey();
  Everything all;
  for (const auto& r : *records) {
    bool converted = true;
    if (r.recordType == CloudMac::recordType) {
      auto mac = CloudMac::from(r, key.get());
      if (mac) all.macs.push_back(std::move(*mac));
      converted = mac.has_value();
    } else if (r.recordType == CloudCommand::recordType) {
      auto command = CloudCommand::from(r);
      if (command) all.commands.push_back(std::move(*command));
      converted = command.has_value();
    }
    if (!converted) {
      log().warn("skipped {} record {}: missing or wrongly typed fields", r.recordType,
                 printable(r.recordName));
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
