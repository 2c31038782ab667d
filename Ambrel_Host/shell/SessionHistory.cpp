#include "Ambrel_Host/shell/SessionHistory.h"

#include <algorithm>
#include <future>
#include <system_error>

#include "CorvelKit/base/AtomicFile.h"
#include "CorvelKit/base/JSONCoding.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/base/Paths.h"

namespace ambrel {

namespace {

auto& historyLog() { return corvel::Log::host("history"); }

using Entries = std::vector<SessionHistory::Entry>;

std::optional<Entries> load(const std::filesystem::path& file) {
  auto bytes = corvel::AtomicFile::read(file);
  if (!bytes) return std::nullopt;  // missing or unreadable: the next save replaces it
  auto decoded = corvel::JSONCoding::decode<Entries>(*bytes);
  if (decoded) return std::move(*decoded);

  historyLog().warn("history file unreadable ({}); starting empty", decoded.error().description());
  auto aside = file;
  aside += ".corrupt";
  std::error_code error;
  std::filesystem::rename(file, aside, error);
  if (error) historyLog().warn("couldn't keep the unreadable history file aside: {}", error.message());
  return std::nullopt;
}

}  // namespace

std::filesystem::path SessionHistory::defaultFile() {
  return corvel::Paths::dataFolder() / "SessionHistory.json";
}

SessionHistory::SessionHistory(std::filesystem::path file, std::shared_ptr<corvel::Clock> clock)
    : file_(std::move(file)), clock_(std::move(clock)) {
  if (auto loaded = load(file_)) entries_ = std::move(*loaded);
  for (auto& entry : entries_) {
    bool isSession = entry.kind != Kind::declined && entry.kind != Kind::wrongCode;
    if (isSession && !entry.ended) entry.outcome = stoppedOutcome;
  }
}

SessionHistory::~SessionHistory() { flush(); }

std::string_view SessionHistory::routeText(corvel::net::ConnectionRoute route) {
  using corvel::net::ConnectionRoute;
  switch (route) {
    case ConnectionRoute::localNetwork: return "This network";
    case ConnectionRoute::privateNetwork: return "Private network";
    case ConnectionRoute::internet: return "Internet";
    case ConnectionRoute::natTraversal: return "Internet (through NAT)";
    case ConnectionRoute::unknown: return "";
  }
  return "";
}

SessionHistory::Kind SessionHistory::kindFor(const Participant& client) {
  if (client.isScreenSharer) return Kind::screenShare;
  if (client.isSupport) return Kind::support;
  return client.canControl ? Kind::control : Kind::viewOnly;
}

corvel::Date SessionHistory::now() const { return corvel::Date::fromTimePoint(clock_->wallNow()); }

void SessionHistory::start(const Participant& client) {
  insert(Entry{.id = client.id,
               .device = client.device,
               .symbol = client.symbol,
               .address = client.address,
               .route = std::string(routeText(client.route)),
               .kind = kindFor(client),
               .started = now(),
               .ended = std::nullopt,
               .outcome = std::string(connectedOutcome)});
}

void SessionHistory::end(const corvel::UUID& clientID, std::string outcome) {
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [&](const Entry& e) { return e.id == clientID && !e.ended; });
  if (it == entries_.end()) return;
  it->ended = now();
  it->outcome = std::move(outcome);
  changed();
}

void SessionHistory::declined(const Participant& client) {
  auto at = now();
  insert(Entry{.id = corvel::UUID::random(),
               .device = client.device,
               .symbol = client.symbol,
               .address = client.address,
               .route = std::string(routeText(client.route)),
               .kind = Kind::declined,
               .started = at,
               .ended = at,
               .outcome = std::string(declinedOutcome)});
}

void SessionHistory::wrongCode(std::string address) {
  auto at = now();
  if (!entries_.empty()) {
    const auto& newest = entries_.front();
    double age = at.secondsSinceReferenceDate() - newest.started.secondsSinceReferenceDate();
    // A newest entry dated in the future (the wall clock was set back) does not swallow new
    // entries: only a burst that started within the last three seconds does.
    bool inBurst = age >= 0 && age < std::chrono::duration<double>(wrongCodeBurst).count();
    if (newest.kind == Kind::wrongCode && newest.address == address && inBurst) return;
  }
  insert(Entry{.id = corvel::UUID::random(),
               .device = std::string(unknownDevice),
               .symbol = std::string(wrongCodeSymbol),
               .address = std::move(address),
               .route = {},
               .kind = Kind::wrongCode,
               .started = at,
               .ended = at,
               .outcome = std::string(wrongCodeOutcome)});
}

void SessionHistory::clear(const std::unordered_set<corvel::UUID>& keeping) {
  std::erase_if(entries_, [&](const Entry& e) { return !keeping.contains(e.id); });
  changed();
}

void SessionHistory::insert(Entry entry) {
  entries_.insert(entries_.begin(), std::move(entry));
  if (entries_.size() > maxEntries) {
    // Wrong codes are what a stranger can produce at will: they go first, so that a storm of
    // them never pushes out the record of who actually used the computer.
    auto oldestWrongCode = std::find_if(entries_.rbegin(), entries_.rend(),
                                        [](const Entry& e) { return e.kind == Kind::wrongCode; });
    if (oldestWrongCode != entries_.rend()) {
      entries_.erase(std::next(oldestWrongCode).base());
    } else {
      entries_.resize(maxEntries);
    }
  }
  changed();
}

void SessionHistory::changed() {
  auto bytes = corvel::JSONCoding::encode(entries_);
  if (!bytes) {
    historyLog().error("couldn't encode the history: {}", bytes.error().message);
  } else {
    // Only the newest contents matter: a write that is already queued picks up whatever is
    // pending when it runs, so a burst of changes costs one or two writes, still in order.
    bool queued = false;
    {
      std::lock_guard lock(pendingSave_->mutex);
      queued = pendingSave_->contents.has_value();
      pendingSave_->contents = std::move(*bytes);
    }
    if (!queued) {
      // The work holds shared state only, so it may outlive this object.
      saveQueue_.post([file = file_, pending = pendingSave_] {
        std::optional<corvel::Bytes> contents;
        {
          std::lock_guard lock(pending->mutex);
          contents.swap(pending->contents);
        }
        if (!contents) return;
        if (auto error = corvel::AtomicFile::write(file, *contents)) {
          historyLog().warn("couldn't save the history: {}", error.message());
        }
      });
    }
  }
  if (onChange_) onChange_();
}

void SessionHistory::flush() {
  std::promise<void> done;
  auto future = done.get_future();
  saveQueue_.post([&done] { done.set_value(); });
  future.wait();
}

// ---- JSON ----

void encodeJSON(nlohmann::json& out, SessionHistory::Kind value) {
  out = sessionHistoryKindNames[static_cast<std::size_t>(value)];
}

bool decodeJSON(const nlohmann::json& in, SessionHistory::Kind& out,
                corvel::DecodingError& error) {
  std::size_t index = 0;
  if (!corvel::decodeStringEnumeration(in, sessionHistoryKindNames, "Kind", index, error)) {
    return false;
  }
  out = static_cast<SessionHistory::Kind>(index);
  return true;
}

void encodeJSON(nlohmann::json& out, const SessionHistory::Entry& value) {
  corvel::JSONObjectWriter(out)
      .field("id", value.id)
      .field("device", value.device)
      .field("symbol", value.symbol)
      .field("address", value.address)
      .field("route", value.route)
      .field("kind", value.kind)
      .field("started", value.started)
      .field("ended", value.ended)
      .field("outcome", value.outcome);
}

bool decodeJSON(const nlohmann::json& in, SessionHistory::Entry& out,
                corvel::DecodingError& error) {
  return corvel::JSONObjectReader(in, error)
      .field("id", out.id)
      .field("device", out.device)
      .field("symbol", out.symbol)
      .field("address", out.address)
      .field("route", out.route)
      .field("kind", out.kind)
      .field("started", out.started)
      .field("ended", out.ended)
      .field("outcome", out.outcome)
      .ok();
}

}  // namespace ambrel
