#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "CorvelKit/base/Expected.h"
#include "CorvelKit/cloud/CloudError.h"
#include "CorvelKit/cloud/CloudRecord.h"

namespace corvel::cloud {

// Whether the owner's database can be used, numbered as the status view and the log show it.
enum class AccountStatus : int {
  undetermined = 0,
  available = 1,
  restricted = 2,
  noAccount = 3,
  temporarilyUnavailable = 4,
};

// How a save treats a record that is already stored.
enum class SavePolicy {
  overwrite,    // every field is replaced; the newest save wins
  ifUnchanged,  // stored only when the stored change tag still equals the record's (or, with an
                // empty tag, when no record of that name exists)
};

// One step of reading a zone's changes. `token` names the point reached: pass it to the next call
// to read on from there. Deleted names are reported only to readers that give a token.
struct ChangeBatch {
  std::vector<CloudRecord> changed;
  std::vector<std::string> deleted;
  std::string token;
  bool moreComing = false;
};

// The owner's private database, shared by the owner's devices: record zones holding typed records,
// change reading by token, conditional saves and a change signal. Every operation may fail (the
// store is unreachable, the record changed); callers log it and retry on their next cycle.
// Operations are blocking and safe to call from any thread.
class CloudDatabase {
 public:
  // Called on a thread of the store whenever the database changed (possibly through another
  // store object or process). Handlers that reach objects which may die hold a weak_ptr.
  using ChangeHandler = std::function<void()>;

  // The store a host or client uses: the SQLite file of this machine for an empty `url`, else the
  // PostgreSQL database it names.
  static std::unique_ptr<CloudDatabase> make(const std::string& url);

  virtual ~CloudDatabase() = default;

  // The account state; a failed query reads as `undetermined`.
  virtual AccountStatus accountStatus() = 0;
  // The owner's identifier in this database.
  virtual Expected<std::string, std::error_code> userRecordName() = 0;

  // Creates the zone; succeeds when it already exists.
  [[nodiscard]] virtual std::error_code saveZone(std::string_view zone) = 0;
  // Registers `handler` as the change signal under `identifier`; saving the same identifier again
  // replaces the handler.
  [[nodiscard]] virtual std::error_code saveSubscription(std::string_view identifier,
                                                         ChangeHandler handler) = 0;
  virtual void removeSubscription(std::string_view identifier) = 0;

  // Changes of the zone after `token` (from the beginning when empty), at most `limit` records.
  virtual Expected<ChangeBatch, std::error_code> fetchZoneChanges(std::string_view zone,
                                                                  std::string_view token,
                                                                  std::size_t limit) = 0;
  // Stores the record and returns it as stored (with its new change tag).
  virtual Expected<CloudRecord, std::error_code> save(std::string_view zone, const CloudRecord& record,
                                                      SavePolicy policy) = 0;
  virtual Expected<CloudRecord, std::error_code> fetch(std::string_view zone,
                                                       std::string_view recordName) = 0;
  // Deletes the named records; names that do not exist are no error.
  [[nodiscard]] virtual std::error_code deleteRecords(std::string_view zone,
                                                      std::span<const std::string> recordNames) = 0;

  // Every record of the zone, following the batches from the beginning until none are left.
  Expected<std::vector<CloudRecord>, std::error_code> fetchAll(std::string_view zone,
                                                               std::size_t batchSize = 200);
};

}  // namespace corvel::cloud
