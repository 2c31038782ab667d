#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "CorvelKit/cloud/ChangeSubscribers.h"
#include "CorvelKit/cloud/CloudDatabase.h"

namespace corvel::cloud {

// The store for owners whose devices share a PostgreSQL database. `url` is a libpq connection
// URL or keyword string; a password missing from it is taken from the keychain item
// (`passwordAccount`, `passwordService`). A lost connection is opened again on the next call.
// Every write raises one counter row in its transaction: that row's lock orders the writers, so
// counter values (the change tags and tokens) follow the order of commits, and a conditional
// save's check and write see no other writer in between. Writers send NOTIFY on `corvel_changes`;
// a thread of the store LISTENs on a connection of its own while a subscription exists.
class PostgresCloudDatabase final : public CloudDatabase {
 public:
  static constexpr std::string_view passwordAccount = "cloudDatabase";
  static constexpr std::string_view passwordService = "com.pinebay.corvel.cloud";

  enum class URLCheck { valid, malformed, holdsPassword };
  // Whether `url` is a connection URL or keyword string libpq accepts, and whether it names a
  // password (which belongs in the keychain instead).
  static URLCheck checkURL(std::string_view url);

  explicit PostgresCloudDatabase(std::string url);
  ~PostgresCloudDatabase() override;
  PostgresCloudDatabase(const PostgresCloudDatabase&) = delete;
  PostgresCloudDatabase& operator=(const PostgresCloudDatabase&) = delete;

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

  Expected<Connection*, std::error_code> connection();
  void dropConnectionAfter(std::error_code error);
  void listen(std::stop_token stop);

  const std::string url_;
  std::mutex mutex_;  // guards connection_
  std::unique_ptr<Connection> connection_;

  ChangeSubscribers subscribers_{[this](std::stop_token stop) { listen(std::move(stop)); }};  // last
};

}  // namespace corvel::cloud
