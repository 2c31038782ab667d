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

namespace {
std::string candidateName(const std::string& macID) { return "nat-" + macID + "-viewer"; }
constexpr const char* candidateType = "NATCandidate";
}  // namespace

std::error_code CorvelCloud::publishViewerCandidate(const std::string& macID,
                                                    const net::StunReflexive& reflexive, Date now) {
  CloudRecord record{candidateType, candidateName(macID), {}, {}};
  record.fields.emplace("macID", macID);
  record.fields.emplace("host", reflexive.host);
  record.fields.emplace("port", std::int64_t{reflexive.port});
  record.fields.emplace("updatedAt", now);
  auto saved = database_->save(zone, record, SavePolicy::overwrite);
  return saved ? std::error_code() : saved.error();
}

std::optional<net::StunReflexive> CorvelCloud::viewerCandidate(const std::string& macID,
                                                               double freshWithinSeconds, Date now) {
  auto record = database_->fetch(zone, candidateName(macID));
  if (!record || record->recordType != candidateType) return std::nullopt;
  const auto* host = record->string("host");
  const auto* port = record->integer("port");
  const auto* updatedAt = record->date("updatedAt");
  if (!host || host->empty() || !port || *port < 1 || *port > 65535 || !updatedAt) return std::nullopt;
  const double age = now.secondsSinceReferenceDate() - updatedAt->secondsSinceReferenceDate();
  if (!(age < freshWithinSeconds)) return std::nullopt;
  return net::StunReflexive{*host, static_cast<std::uint16_t>(*port)};
}

}  // namespace corvel::cloud
