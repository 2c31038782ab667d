#include "Ambrel_Host/controller/SessionSupervision.h"

#include <algorithm>

#include "Ambrel_Host/capture/VideoStreams.h"
#include "Ambrel_Host/controller/AccessSecrets.h"
#include "Ambrel_Host/controller/HostContext.h"
#include "Ambrel_Host/controller/Notifier.h"
#include "Ambrel_Host/controller/SessionLog.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/protocol/Bye.h"

namespace ambrel {

namespace {
auto& log() { return corvel::Log::host("net"); }

// A support client that took part: its connection is keyed with the support code and it said
// hello (a wrong code or a silent connection ends no support session).
bool isSupportParticipant(const RemoteClient& c) { return c.isSupport() && c.hello().has_value(); }
}  // namespace

using corvel::protocol::MessageType;

SessionSupervision::SessionSupervision(HostContext& context, AccessSecrets& secrets,
                                       std::function<void()> restartListener)
    : context_(context), secrets_(secrets), restartListener_(std::move(restartListener)) {}

std::size_t SessionSupervision::undecidedFrom(const std::string& source) const {
  std::size_t count = 0;
  for (const auto& c : context_.clients.all()) {
    if (!c->hello() && c->source() == source) ++count;
  }
  return count;
}

bool SessionSupervision::makeRoomFor(const std::string& source) {
  std::size_t fromSource = 0;
  std::size_t unknown = 0;
  std::shared_ptr<RemoteClient> oldest;
  for (const auto& c : context_.clients.all()) {
    if (c->hello()) continue;
    ++unknown;
    if (c->source() == source) ++fromSource;
    if (!oldest) oldest = c;
  }
  if (fromSource >= maxUnknownPerSource) {
    log().warn("refusing a connection: too many from one source before their hello");
    return false;
  }
  if (unknown >= maxUnknown && oldest) {
    log().warn("dropping the oldest connection without hello to make room");
    endClient(oldest, HistoryUpdate::keep);
  }
  return true;
}

void SessionSupervision::watchHello(const std::shared_ptr<RemoteClient>& client) {
  std::weak_ptr<RemoteClient> weak = client;
  helloWatchdogs_[client->id()] = context_.schedule(helloTimeout, [this, weak] {
    auto c = weak.lock();
    if (!c || c->hello() || !context_.clients.contains(*c)) return;
    log().info("dropping a connection that never said hello");
    endClient(c, HistoryUpdate::closeIfAdmitted);
  });
}

void SessionSupervision::helloArrived(const RemoteClient& client) {
  helloWatchdogs_.erase(client.id());
}

void SessionSupervision::sessionStarted() {
  if (!loop_ && !shuttingDown_) scheduleLoop();
}

void SessionSupervision::stopClient(const std::shared_ptr<RemoteClient>& client,
                                    const std::string& reason) {
  if (!context_.clients.contains(*client) || client->isStopped()) return;
  if (auto fingerprint = client->peerFingerprint()) {
    const auto now = context_.clock->now();
    std::erase_if(recentlyStopped_,
                  [&](const auto& entry) { return now - entry.second >= recentlyStoppedWindow; });
    recentlyStopped_[*fingerprint] = now;
  }
  client->setEndReasonIfUnset(reason);
  const bool wasAdmitted = client->wasAdmitted();
  client->markStopped();
  client->setAuthorized(false);
  // A question still on screen about this client has no answer any more.
  context_.approvals.remove(client->id());
  context_.clients.changed();
  client->connection()->sendJSON(MessageType::bye, corvel::protocol::Bye{reason});

  std::weak_ptr<RemoteClient> weak = client;
  stopTimers_[client->id()] = context_.schedule(stopGrace, [this, weak, wasAdmitted] {
    if (auto c = weak.lock()) endClient(c, wasAdmitted ? HistoryUpdate::close : HistoryUpdate::keep);
  });
}

int SessionSupervision::disconnectEveryone(const std::string& reason) {
  auto everyone = context_.clients.all();
  for (auto& c : everyone) stopClient(c, reason);
  return static_cast<int>(everyone.size());
}

bool SessionSupervision::recentlyStopped(const std::string& fingerprint) const {
  auto it = recentlyStopped_.find(fingerprint);
  return it != recentlyStopped_.end() && context_.clock->now() - it->second < recentlyStoppedWindow;
}

void SessionSupervision::endClient(const std::shared_ptr<RemoteClient>& client,
                                   HistoryUpdate history) {
  if (!context_.clients.contains(*client)) return;
  const bool admitted = client->wasAdmitted();
  const bool sharer = client->isScreenSharer();
  auto& services = context_.services;

  if (history == HistoryUpdate::close || (history == HistoryUpdate::closeIfAdmitted && admitted)) {
    if (services.history) {
      services.history->end(client->id(), client->endReason().value_or("Connection closed"));
    }
  }
  context_.approvals.remove(client->id());
  helloWatchdogs_.erase(client->id());
  client->connection()->cancel();
  context_.clients.remove(*client);
  context_.streaming.update(services.streams->detach(*client));
  for (auto& hook : endHooks_) hook(*client);

  const auto name = client->displayName();
  if (sharer && admitted) {
    context_.notifier->post(name + " stopped sharing", "Their screen is no longer shown.");
  } else if (admitted) {
    context_.releaseInput();
    context_.notifier->post(name + " disconnected", "Screen sharing ended.");
  }

  if (context_.settings.flag(Setting::lockWhenSessionEnds) && admitted && !sharer &&
      context_.clients.viewers().empty()) {
    context_.lockScreen();
  }
  context_.refreshOverlays();

  const auto& all = context_.clients.all();
  if (isSupportParticipant(*client) && secrets_.supportCode() &&
      std::none_of(all.begin(), all.end(), [](const auto& c) { return isSupportParticipant(*c); })) {
    endSupport();
  }
  // Dropped last: this may be running inside it.
  stopTimers_.erase(client->id());
}

void SessionSupervision::endSupport() {
  if (!secrets_.endSupport()) return;
  // Every connection keyed with the support code, whether or not it has said hello yet.
  for (auto& c : std::vector(context_.clients.all())) {
    if (c->isSupport()) stopClient(c, "The support session ended.");
  }
  if (restartListener_) restartListener_();
}

void SessionSupervision::shutdown() {
  shuttingDown_ = true;
  loop_.reset();
  for (auto& c : std::vector(context_.clients.all())) stopClient(c, "Ambrel Host quit.");
}

// ---- The loop ---------------------------------------------------------------------------------

void SessionSupervision::scheduleLoop() {
  loop_ = context_.schedule(interval, [this] { supervise(); });
}

void SessionSupervision::supervise() {
  loop_.reset();
  if (shuttingDown_) return;
  const auto now = context_.clock->now();
  const auto viewers = context_.clients.viewers();
  for (auto& c : viewers) {
    // A viewer whose video has stalled that long is as good as silent, whatever pings it sends.
    const auto stalled = c->videoStalledSince();
    if (now - c->lastHeard() > silenceLimit || (stalled && now - *stalled > silenceLimit)) {
      log().info("dropping silent viewer");
      c->setEndReasonIfUnset("No response for 20 seconds");
      endClient(c, HistoryUpdate::closeIfAdmitted);
    }
  }
  if (const int minutes = context_.settings.idleTimeoutMinutes(); minutes > 0) {
    const auto limit = std::chrono::minutes(minutes);
    for (auto& c : viewers) {
      if (context_.clients.contains(*c) && c->authorized() && now - c->lastActivity() > limit) {
        stopClient(c, "Disconnected after " + std::to_string(minutes) + " minutes of no activity.");
      }
    }
  }
  scheduleLoop();
}

}  // namespace ambrel
