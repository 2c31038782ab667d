// HostController: deciding, from a client's hello, its proved identity, the owner token and the
// settings, whether it is let in at once, asked about, or turned away.

#include "Ambrel_Host/controller/HostController.h"
#include "Ambrel_Host/shell/Notifier.h"
#include "Ambrel_Host/shell/SessionHistory.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/protocol/HelloAck.h"
#include "CorvelKit/protocol/SessionPermissions.h"
#include "CorvelKit/security/AuthToken.h"

namespace ambrel {

using corvel::protocol::MessageType;

namespace {
SessionHistory::Participant participant(const RemoteClient& client) {
  return {client.id(),
          client.displayName(),
          client.symbolName(),
          client.address(),
          client.connection()->route(),
          client.isScreenSharer(),
          client.isSupport(),
          client.canControl()};
}
}  // namespace

void HostController::handleHello(const std::shared_ptr<RemoteClient>& client,
                                 const corvel::Bytes& payload) {
  if (client->hello()) return;  // a repeated hello is ignored
  auto decoded = corvel::net::CorvelConnection::decode<corvel::protocol::Hello>(payload);
  if (!decoded) return;
  const corvel::protocol::Hello hello = std::move(*decoded);
  client->setHello(hello);
  helloWatchdogs_.erase(client->id());
  client->setSupport(supportCode_.has_value());
  notify("clients");

  const auto fingerprint = client->peerFingerprint();
  const bool sharer = client->isScreenSharer();

  // A device stopped at this computer can't come straight back.
  if (fingerprint) {
    auto it = recentlyStopped_.find(*fingerprint);
    if (it != recentlyStopped_.end() && env_.clock->now() - it->second < recentlyStoppedWindow) {
      stopClient(client, "The session was stopped at the Mac.");
      return;
    }
  }

  // A second connection of an admitted device inherits its control state.
  if (!client->isSupport() && !sharer && fingerprint) {
    for (const auto& other : clients_) {
      if (other != client && other->authorized() && !other->isScreenSharer() &&
          other->peerFingerprint() == fingerprint) {
        client->setCanControl(other->canControl());
        admit(client);
        return;
      }
    }
  }

  if (!client->isSupport() && fingerprint &&
      std::any_of(trustedDevices_.begin(), trustedDevices_.end(),
                  [&](const TrustedDevice& d) { return d.id == *fingerprint; })) {
    admit(client);
    return;
  }

  if (!client->isSupport() && hello.iCloudToken &&
      corvel::security::AuthToken::matches(*hello.iCloudToken, iCloudAuthToken_)) {
    if (fingerprint) trustDevice({*fingerprint, hello.deviceName, hello.platform});
    admit(client);
    return;
  }

  if (askBeforeConnecting_ || client->isSupport()) {
    askApproval(client);
  } else {
    admit(client);
  }
}

void HostController::askApproval(const std::shared_ptr<RemoteClient>& client) {
  approvals_.push_back(client->id());
  notify("approvingClientID");
  const auto name = client->displayName();
  if (client->isScreenSharer()) {
    env_.notifier->post("Show " + name + "'s screen on this Mac?",
                        "They entered the correct access code and want to share their screen "
                        "with you. They won't see or control this Mac.");
  } else {
    env_.notifier->post("Allow " + name + " to control this Mac?",
                        "They entered the correct access code. They will see your screen and be "
                        "able to use your mouse and keyboard.");
  }
  if (onApprovalRequested) onApprovalRequested(client);
}

std::vector<std::shared_ptr<RemoteClient>> HostController::pendingApprovals() const {
  std::vector<std::shared_ptr<RemoteClient>> waiting;
  for (const auto& id : approvals_) {
    if (auto c = client(id)) waiting.push_back(std::move(c));
  }
  return waiting;
}

std::optional<corvel::UUID> HostController::approvingClientID() const {
  if (approvals_.empty()) return std::nullopt;
  return approvals_.front();
}

bool HostController::answerApproval(const corvel::UUID& clientID, ApprovalAnswer answer) {
  auto it = std::find(approvals_.begin(), approvals_.end(), clientID);
  if (it == approvals_.end()) return false;
  approvals_.erase(it);
  notify("approvingClientID");
  auto c = client(clientID);
  if (!c) return false;  // gone meanwhile: the answer is dropped
  switch (answer) {
    case ApprovalAnswer::allow:
      admit(c);
      break;
    case ApprovalAnswer::alwaysAllow:
      if (auto fingerprint = c->peerFingerprint()) {
        auto hello = c->hello();
        trustDevice({*fingerprint, c->displayName(),
                     hello ? hello->platform : corvel::protocol::ClientPlatform::unknown});
      }
      admit(c);
      break;
    case ApprovalAnswer::deny:
      if (env_.services.history) env_.services.history->declined(participant(*c));
      stopClient(c, "The Mac's owner declined the connection.");
      break;
  }
  return true;
}

void HostController::admit(const std::shared_ptr<RemoteClient>& client) {
  if (!isListed(*client)) return;
  const auto name = client->displayName();
  if (client->isScreenSharer()) {
    // The window that shows a shared screen comes with its own part; the record is kept here.
    client->setAuthorized(true);
    if (env_.services.history) env_.services.history->start(participant(*client));
    notify("clients");
    corvel::protocol::HelloAck ack{env_.computerName, displays_, client->displayID()};
    client->connection()->sendJSON(MessageType::helloAck, ack);
    env_.notifier->post(name + " is sharing their screen", "Close the window to stop.");
    return;
  }
  client->setAuthorized(true);
  client->markActivity();
  if (env_.services.history) env_.services.history->start(participant(*client));
  notify("clients");
  std::weak_ptr<HostController> weakSelf = weak_from_this();
  std::weak_ptr<RemoteClient> weakClient = client;
  boost::asio::post(env_.executor, [weakSelf, weakClient] {
    auto self = weakSelf.lock();
    auto c = weakClient.lock();
    if (self && c && self->isListed(*c) && c->authorized()) self->startSession(c);
  });
  env_.notifier->post(name + " connected", "Your screen is being shared.");
  ensureSupervision();
}

void HostController::startSession(const std::shared_ptr<RemoteClient>& client) {
  corvel::protocol::HelloAck ack{env_.computerName, displays_, client->displayID()};
  client->connection()->sendJSON(MessageType::helloAck, ack);
  corvel::protocol::SessionPermissions permissions{client->canControl(), client->isSupport()};
  client->connection()->sendJSON(MessageType::permissions, permissions);
  updateStreaming(env_.services.streams->attach(client));
  env_.services.overlays->refresh();
}

void HostController::setCanControl(const std::shared_ptr<RemoteClient>& client, bool on) {
  client->setCanControl(on);
  if (!on) releaseInput();
  corvel::protocol::SessionPermissions permissions{on, client->isSupport()};
  client->connection()->sendJSON(MessageType::permissions, permissions);
  env_.services.overlays->refresh();
  notify("clients");
}

}  // namespace ambrel
