#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "CorvelKit/base/Date.h"
#include "CorvelKit/base/Expected.h"
#include "CorvelKit/cloud/CloudCommand.h"
#include "CorvelKit/cloud/CloudDatabase.h"
#include "CorvelKit/cloud/CloudMac.h"
#include "CorvelKit/cloud/OwnerKey.h"
#include "CorvelKit/net/Stun.h"

namespace corvel::cloud {

// The presence records and commands of the owner's devices, over the owner's cloud database: what
// hosts publish and poll, and what clients list and send. Blocking, like the database.
// With an owner key, published Macs carry their sealed fields and fetched ones have them opened.
class CorvelCloud {
 public:
  static constexpr std::string_view zone = "Corvel";
  static constexpr std::string_view subscriptionID = "corvel-changes";

  explicit CorvelCloud(std::shared_ptr<CloudDatabase> database) : database_(std::move(database)) {}

  // "account status N (1 = available), user XXXXXXXXXXXX" for the log.
  std::string accountSummary();
  AccountStatus accountStatus() { return database_->accountStatus(); }

  // The key for sealed fields, or none; any thread.
  void setOwnerKey(std::shared_ptr<const OwnerKey> key);
  bool hasOwnerKey() const;

  [[nodiscard]] std::error_code ensureZone();
  [[nodiscard]] std::error_code subscribeToChanges(CloudDatabase::ChangeHandler handler);
  void unsubscribe();
  [[nodiscard]] std::error_code publish(const CloudMac& mac);

  struct Everything {
    std::vector<CloudMac> macs;
    std::vector<CloudCommand> commands;
  };
  // Every Mac and command of the zone; records that do not convert are skipped with a log line.
  Expected<Everything, std::error_code> fetchAll();
  [[nodiscard]] std::error_code send(net::CloudAction action, const std::string& macID,
                                     const std::string& sender, Date now = Date::now());
  [[nodiscard]] std::error_code remove(std::span<const CloudCommand> commands);

  // A hole-punching viewer's public UDP address for the host `macID`: one record per host
  // ("NATCandidate" named "nat-" + macID + "-viewer"), each publish replacing the last.
  [[nodiscard]] std::error_code publishViewerCandidate(const std::string& macID,
                                                       const net::StunReflexive& reflexive,
                                                       Date now = Date::now());
  // That address while its record is less than `freshWithinSeconds` old; nothing when it is
  // older, missing, malformed or can't be read.
  std::optional<net::StunReflexive> viewerCandidate(const std::string& macID,
                                                    double freshWithinSeconds,
                                                    Date now = Date::now());

 private:
  std::shared_ptr<const OwnerKey> ownerKey() const;

  std::shared_ptr<CloudDatabase> database_;
  mutable std::mutex keyMutex_;  // guards ownerKey_
  std::shared_ptr<const OwnerKey> ownerKey_;
};

}  // namespace corvel::cloud
