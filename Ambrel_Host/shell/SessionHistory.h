#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "Ambrel_Host/controller/SessionLog.h"
#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/base/Clock.h"
#include "CorvelKit/base/Date.h"
#include "CorvelKit/base/DecodingError.h"
#include "CorvelKit/base/SerialQueue.h"
#include "CorvelKit/base/UUID.h"
#include "CorvelKit/net/ConnectionRoute.h"

namespace ambrel {

// The record of who used this computer: every admitted session, every request the owner
// declined and every wrong access code, newest first, kept in SessionHistory.json.
//
// Lives on the controller's executor: every member except flush() is called there only. Each
// change is serialized there and written to disk on a queue of its own, in order (a burst of
// changes may be written once, as its newest state), so the caller never waits for the disk.
class SessionHistory final : public SessionLog {
 public:
  enum class Kind { control, viewOnly, screenShare, support, declined, wrongCode };

  struct Entry {
    corvel::UUID id;
    std::string device;
    std::string symbol;
    std::string address;
    std::string route;
    Kind kind = Kind::control;
    corvel::Date started;
    std::optional<corvel::Date> ended;
    std::string outcome;

    friend bool operator==(const Entry&, const Entry&) = default;
  };

  using Participant = SessionLog::Participant;

  static constexpr std::size_t maxEntries = 500;
  // Wrong codes from one address closer together than this make one entry.
  static constexpr std::chrono::seconds wrongCodeBurst{3};

  static constexpr std::string_view connectedOutcome = "Connected";
  static constexpr std::string_view stoppedOutcome = "Ambrel Host stopped";
  static constexpr std::string_view declinedOutcome = "You declined";
  static constexpr std::string_view wrongCodeOutcome = "Wrong access code";
  static constexpr std::string_view unknownDevice = "Unknown device";
  static constexpr std::string_view wrongCodeSymbol = "exclamationmark.triangle";

  // The file in the host's data folder.
  static std::filesystem::path defaultFile();

  // Loads `file`. Sessions that a previous run left open read "Ambrel Host stopped" (still
  // without an end). A file that cannot be decoded is moved aside to "<file>.corrupt" and the
  // history starts empty.
  SessionHistory(std::filesystem::path file, std::shared_ptr<corvel::Clock> clock);
  // Waits for the pending saves.
  ~SessionHistory() override;
  SessionHistory(const SessionHistory&) = delete;
  SessionHistory& operator=(const SessionHistory&) = delete;

  const std::vector<Entry>& entries() const { return entries_; }
  const std::filesystem::path& file() const { return file_; }

  // Called after every change, on the caller's thread, once the change is complete.
  void setOnChange(std::function<void()> onChange) { onChange_ = std::move(onChange); }

  // Opens the entry of an admitted client.
  void start(const Participant& client) override;
  // Closes the client's open entry with `outcome`; nothing when it has none.
  void end(const corvel::UUID& clientID, std::string outcome) override;
  // Records a request the owner turned down.
  void declined(const Participant& client) override;
  // Records a wrong access code from `address`, unless the newest entry already records one from
  // there that started less than three seconds ago.
  void wrongCode(std::string address) override;
  // Removes every entry whose id is not in `keeping`.
  void clear(const std::unordered_set<corvel::UUID>& keeping);

  // Blocks until every save requested so far is on disk (tests, shutdown).
  void flush();

  static std::string_view routeText(corvel::net::ConnectionRoute route);
  static Kind kindFor(const Participant& client);

 private:
  corvel::Date now() const;
  void insert(Entry entry);
  void changed();

  std::filesystem::path file_;
  std::shared_ptr<corvel::Clock> clock_;
  std::vector<Entry> entries_;
  std::function<void()> onChange_;
  struct PendingSave {
    std::mutex mutex;
    std::optional<corvel::Bytes> contents;  // the newest contents not yet written
  };
  std::shared_ptr<PendingSave> pendingSave_ = std::make_shared<PendingSave>();
  corvel::SerialQueue saveQueue_{"history.save"};
};

inline constexpr std::array<std::string_view, 6> sessionHistoryKindNames = {
    "control", "viewOnly", "screenShare", "support", "declined", "wrongCode"};

void encodeJSON(nlohmann::json& out, SessionHistory::Kind value);
[[nodiscard]] bool decodeJSON(const nlohmann::json& in, SessionHistory::Kind& out,
                              corvel::DecodingError& error);
void encodeJSON(nlohmann::json& out, const SessionHistory::Entry& value);
[[nodiscard]] bool decodeJSON(const nlohmann::json& in, SessionHistory::Entry& out,
                              corvel::DecodingError& error);

}  // namespace ambrel
