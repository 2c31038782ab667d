// HostController: how sessions end — stopped from this side, ended by the peer or the network,
// dropped for silence or idleness — and the one clean-up routine they all pass through.

#include "Ambrel_Host/controller/HostController.h"
#include "Ambrel_Host/shell/KeepAwake.h"
#include "Ambrel_Host/shell/Notifier.h"
#include "Ambrel_Host/shell/SessionHistory.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/protocol/Bye.h"

namespace ambrel {

namespace {
auto& log() { return corvel::Log::host("net"); }
}  // namespace

using corvel::protocol::MessageType;

void HostController::stopClient(const std::shared_ptr<RemoteClient>& client,
                                const std::string& reason) {
  if (!isListed(*client)) return;
  if (auto fingerprint = client->peerFingerprint()) {
    const auto now = env_.clock->now();
    std::erase_if(recentlyStopped_,
                  [&](const auto& entry) { return now - entry.second >= recentlyStoppedWindow; });
    recentlyStopped_[*fingerprint] = now;
  }
  client->setEndReasonIfUnset(reason);
  const bool wasAdmitted = client->wasAdmitted();
  client->setAuthorized(false);
  notify("clients");
  client->connection()->sendJSON(MessageType::bye, corvel::protocol::Bye{reason});

  std::weak_ptr<HostController> weakSelf = weak_from_this();
  std::weak_ptr<RemoteClient> weakClient = client;
  stopTimers_[client->id()] =
      env_.clock->schedule(env_.executor, stopGrace, [weakSelf, weakClient, wasAdmitted] {
        auto self = weakSelf.lock();
        auto c = weakClient.lock();
        if (self && c) self->endClient(c, wasAdmitted ? 1 : 0);
      });
}

int HostController::disconnectEveryone(const std::string& reason) {
  auto everyone = clients_;
  for (auto& c : everyone) stopClient(c, reason);
  return static_cast<int>(everyone.size());
}

void HostController::endClient(const std::shared_ptr<RemoteClient>& client, int historyMode) {
  auto it = std::find(clients_.begin(), clients_.end(), client);
  if (it == clients_.end()) return;
  const bool admitted = client->wasAdmitted();
  const bool sharer = client->isScreenSharer();

  if (historyMode == 1 || (historyMode == 2 && admitted)) {
    if (env_.services.history) {
      env_.services.history->end(client->id(), client->endReason().value_or("Connection closed"));
    }
  }
  if (auto a = std::find(approvals_.begin(), approvals_.end(), client->id()); a != approvals_.end()) {
    approvals_.erase(a);
    notify("approvingClientID");
  }
  helloWatchdogs_.erase(client->id());
  client->connection()->cancel();
  clients_.erase(it);
  notify("clients");

  updateStreaming(env_.services.streams->detach(*client));

  const auto name = client->displayName();
  if (sharer && admitted) {
    env_.notifier->post(name + " stopped sharing", "Their screen is no longer shown.");
  } else if (admitted) {
    releaseInput();
    env_.notifier->post(name + " disconnected", "Screen sharing ended.");
  }

  auto isViewer = [](const auto& c) { return c->authorized() && !c->isScreenSharer(); };
  if (lockWhenSessionEnds_ && admitted && !sharer &&
      std::none_of(clients_.begin(), clients_.end(), isViewer)) {
    lockScreen();
  }
  env_.services.overlays->refresh();

  if (client->isSupport() && supportCode_ &&
      std::none_of(clients_.begin(), clients_.end(), [](const auto& c) { return c->isSupport(); })) {
    endSupport();
  }
  // Drop the stop timer last: this may be running inside it.
  stopTimers_.erase(client->id());
}

// ---- Supervision loop -------------------------------------------------------------------------

void HostController::ensureSupervision() {
  if (supervision_) return;
  std::weak_ptr<HostController> weak = weak_from_this();
  supervision_ = env_.clock->schedule(env_.executor, supervisionInterval, [weak] {
    if (auto self = weak.lock()) self->supervise();
  });
}

void HostController::supervise() {
  supervision_.reset();
  if (isShuttingDown_) return;
  const auto now = env_.clock->now();
  std::vector<std::shared_ptr<RemoteClient>> viewers;
  for (auto& c : clients_) {
    if (c->authorized() && !c->isScreenSharer()) viewers.push_back(c);
  }
  for (auto& c : viewers) {
    if (now - c->lastHeard() > silenceLimit) {
      log().info("dropping silent viewer");
      c->setEndReasonIfUnset("No response for 20 seconds");
      endClient(c, 2);
    }
  }
  if (idleTimeoutMinutes_ > 0) {
    const auto limit = std::chrono::minutes(idleTimeoutMinutes_);
    for (auto& c : viewers) {
      if (isListed(*c) && c->authorized() && now - c->lastActivity() > limit) {
        stopClient(c, "Disconnected after " + std::to_string(idleTimeoutMinutes_) +
                          " minutes of no activity.");
      }
    }
  }
  ensureSupervision();
}

void HostController::statusTick() {
  std::weak_ptr<HostController> weak = weak_from_this();
  statusTimer_ = env_.clock->schedule(env_.executor, statusInterval, [weak] {
    if (auto self = weak.lock()) self->statusTick();
  });
  std::vector<std::shared_ptr<corvel::net::CorvelConnection>> targets;
  for (auto& c : clients_) {
    if (c->authorized() && !c->isScreenSharer()) targets.push_back(c->connection());
  }
  if (targets.empty()) return;
  // Building the status may wait on the disk: off this executor, with only what it needs.
  if (!env_.services.status) return;
  boost::asio::post(corvel::sharedPool(), [make = env_.services.status, targets] {
    auto status = make();
    for (auto& t : targets) t->sendJSON(MessageType::hostStatus, status);
  });
}

void HostController::updateStreaming(bool streaming) {
  if (streaming) assign(lastError_, std::optional<std::string>(), "lastError");
  if (!assign(isStreaming_, streaming, "isStreaming")) return;
  if (auto& keepAwake = env_.services.keepAwake) {
    if (streaming) {
      keepAwake->begin();
    } else {
      keepAwake->end();
    }
  }
}

}  // namespace ambrel
