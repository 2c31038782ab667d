#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "CorvelKit/cloud/ChangeSubscribers.h"
#include "CorvelKit/cloud/CloudDatabase.h"

namespace corvel::cloud {

// The built-in store: one SQLite file (by default `cloud.sqlite` in the host's data folder), shared
// by every process of the machine that opens it (write-ahead log, a busy timeout for writers).
// Change tags and change tokens come from one counter that every write raises in its transaction.
// The change signal polls that counter every 200 ms on a thread of its own while a subscription
// exists: SQLite has no notification across processes, and a poll of one row costs next to nothing.
class SqliteCloudDatabase final : public CloudDatabase {
 public:
  static std::filesystem::path defaultFile();

  explicit SqliteCloudDatabase(std::filesystem::path file = defaultFile());
  ~SqliteCloudDatabase() override;
  SqliteCloudDatabase(const SqliteCloudDatabase&) = delete;
  SqliteCloudDatabase& operator=(const SqliteCloudDatabase&) = delete;

  AccountStatus accountStatus() override;
  Expected<std::string, std::error_code> userRecordName() override;
  [[nodiscard]] std::error_code saveZone(std::string_view zone) override;
  [[nodiscard]] std::error_code saveSubscription(std::string_view identifier,
                                                 ChangeHandler handler) override;
  void removeSubscription(std::string_view identifier) override;
  Expected<ChangeBatch, std::error_code> fetchZoneChanges(std::string_view zone, std::string_view token,
                                                          std::size_t limit) override;
  Expected<CloudRecord, std::error_code> save(std::string_view zone, const CloudRecord& record,
                                              SavePolicy policy) override;
  Expected<CloudRecord, std::error_code> fetch(std::string_view zone,
                                               std::string_view recordName) override;
  [[nodiscard]] std::error_code deleteRecords(std::string_view zone,
                                              std::span<const std::string> recordNames) override;

 private:
  class Connection;

  // The open connection, opened (and the schema created) on first use and again after a failure.
  Expected<Connection*, std::error_code> connection();
  void dropConnectionAfter(std::error_code error);
  void watch(std::stop_token stop);

  const std::filesystem::path file_;
  std::mutex mutex_;  // guards connection_
  std::unique_ptr<Connection> connection_;

  ChangeSubscribers subscribers_{[this](std::stop_token stop) { watch(std::move(stop)); }};  // last
};

}  // namespace corvel::cloud
