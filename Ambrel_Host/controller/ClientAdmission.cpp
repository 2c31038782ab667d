#include "Ambrel_Host/controller/ClientAdmission.h"

#include <algorithm>

#include "Ambrel_Host/capture/VideoStreams.h"
#include "Ambrel_Host/controller/AccessSecrets.h"
#include "Ambrel_Host/controller/HostContext.h"
#include "Ambrel_Host/controller/Notifier.h"
#include "Ambrel_Host/controller/SessionLog.h"
#include "Ambrel_Host/controller/SessionSupervision.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/net/PeerSource.h"
#include "CorvelKit/protocol/HelloAck.h"
#include "CorvelKit/protocol/SessionPermissions.h"

namespace ambrel {

namespace {
auto& log() { return corvel::Log::host("net"); }
}  // namespace

using corvel::protocol::MessageType;

ClientAdmission::ClientAdmission(HostContext& context, AccessSecrets& secrets,
                                 SessionSupervision& supervision)
    : context_(context), secrets_(secrets), supervision_(supervision) {}

void ClientAdmission::load() { trustedDevices_ = context_.settings.trustedDevices(); }

bool ClientAdmission::isTrusted(const std::string& fingerprint) const {
  return std::any_of(trustedDevices_.begin(), trustedDevices_.end(),
                     [&](const TrustedDevice& d) { return d.id == fingerprint; });
}

void ClientAdmission::handleHello(const std::shared_ptr<RemoteClient>& client,
                                  corvel::ByteView payload) {
  // A repeated hello is ignored, and so is one that comes in the grace after a stop.
  if (client->hello() || client->isStopped()) return;
  auto decoded = corvel::JSONCoding::decode<corvel::protocol::Hello>(payload);
  if (!decoded) return;
  const corvel::protocol::Hello hello = std::move(*decoded);
  client->setHello(hello);
  supervision_.helloArrived(*client);
  context_.clients.changed();

  const auto fingerprint = client->peerFingerprint();
  const bool support = client->isSupport();
  const bool sharer = client->isScreenSharer();

  // A device stopped at this computer can't come straight back.
  if (fingerprint && supervision_.recentlyStopped(*fingerprint)) {
    supervision_.stopClient(client, "The session was stopped at the computer.");
    return;
  }

  // A second connection of an admitted device inherits its control state.
  if (!support && !sharer && fingerprint) {
    for (const auto& other : context_.clients.all()) {
      if (other != client && other->authorized() && !other->isScreenSharer() &&
          other->peerFingerprint() == fingerprint) {
        client->setCanControl(other->canControl());
        admit(client);
        return;
      }
    }
  }

  if (!support && fingerprint && isTrusted(*fingerprint)) {
    admit(client);
    return;
  }

  if (!support && hello.iCloudToken && secrets_.ownerTokenMatches(*hello.iCloudToken)) {
    if (fingerprint) trustDevice({*fingerprint, hello.deviceName, hello.platform});
    admit(client);
    return;
  }

  if (context_.settings.flag(Setting::askBeforeConnecting) || support) {
    askApproval(client);
  } else {
    admit(client);
  }
}

void ClientAdmission::askApproval(const std::shared_ptr<RemoteClient>& client) {
  context_.approvals.push(client->id());
  const auto name = client->displayName();
  if (client->isScreenSharer()) {
    context_.notifier->post("Show " + name + "'s screen on this computer?",
                            "They entered the correct access code and want to share their screen "
                            "with you. They won't see or control this computer.");
  } else {
    context_.notifier->post("Allow " + name + " to control this computer?",
                            "They entered the correct access code. They will see your screen and "
                            "be able to use your mouse and keyboard.");
  }
}

std::vector<std::shared_ptr<RemoteClient>> ClientAdmission::pending() const {
  std::vector<std::shared_ptr<RemoteClient>> waiting;
  for (const auto& id : context_.approvals.all()) {
    if (auto c = context_.clients.find(id)) waiting.push_back(std::move(c));
  }
  return waiting;
}

bool ClientAdmission::answer(const corvel::UUID& clientID, ApprovalAnswer answer) {
  if (!context_.approvals.remove(clientID)) return false;
  auto c = context_.clients.find(clientID);
  if (!c || c->isStopped()) return false;  // gone or stopped meanwhile: the answer is dropped
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
      if (auto& history = context_.services.history) history->declined(c->participant());
      supervision_.stopClient(c, "The Mac's owner declined the connection.");
      break;
  }
  return true;
}

void ClientAdmission::admit(const std::shared_ptr<RemoteClient>& client) {
  if (!context_.clients.contains(*client) || client->isStopped()) return;
  const auto name = client->displayName();
  auto& history = context_.services.history;
  if (client->isScreenSharer()) {
    // The window that shows a shared screen comes with its own part; the record is kept here.
    client->setAuthorized(true);
    if (history) history->start(client->participant());
    context_.clients.changed();
    corvel::protocol::HelloAck ack{context_.computerName, context_.displays.list(),
                                   client->displayID()};
    client->connection()->sendJSON(MessageType::helloAck, ack);
    context_.notifier->post(name + " is sharing their screen", "Close the window to stop.");
    return;
  }
  client->setAuthorized(true);
  client->markActivity();
  if (history) history->start(client->participant());
  context_.clients.changed();
  std::weak_ptr<RemoteClient> weak = client;
  context_.post([this, weak] {
    auto c = weak.lock();
    if (c && context_.clients.contains(*c) && c->authorized()) startSession(c);
  });
  context_.notifier->post(name + " connected", "Your screen is being shared.");
  supervision_.sessionStarted();
}

void ClientAdmission::startSession(const std::shared_ptr<RemoteClient>& client) {
  corvel::protocol::HelloAck ack{context_.computerName, context_.displays.list(),
                                 client->displayID()};
  client->connection()->sendJSON(MessageType::helloAck, ack);
  corvel::protocol::SessionPermissions permissions{client->canControl(), client->isSupport()};
  client->connection()->sendJSON(MessageType::permissions, permissions);
  context_.streaming.update(context_.services.streams->attach(client));
  context_.refreshOverlays();
}

void ClientAdmission::trustDevice(TrustedDevice device) {
  std::erase_if(trustedDevices_, [&](const TrustedDevice& d) { return d.id == device.id; });
  trustedDevices_.push_back(std::move(device));
  context_.settings.setTrustedDevices(trustedDevices_);
  context_.observers.notify(HostProperty::trustedDevices);
}

bool ClientAdmission::forgetTrustedDevice(const std::string& id) {
  auto removed = std::erase_if(trustedDevices_, [&](const TrustedDevice& d) { return d.id == id; });
  if (removed == 0) return false;
  context_.settings.setTrustedDevices(trustedDevices_);
  context_.observers.notify(HostProperty::trustedDevices);
  return true;
}

void ClientAdmission::setCanControl(const std::shared_ptr<RemoteClient>& client, bool on) {
  client->setCanControl(on);
  if (!on) context_.releaseInput();
  corvel::protocol::SessionPermissions permissions{on, client->isSupport()};
  client->connection()->sendJSON(MessageType::permissions, permissions);
  context_.refreshOverlays();
  context_.clients.changed();
}

void ClientAdmission::recordWrongCode(const std::string& address) {
  if (auto& history = context_.services.history) history->wrongCode(address);
  const auto source = corvel::net::PeerSource::of(address);
  const auto now = context_.clock->now();
  bool startsLockout = false;
  {
    std::lock_guard lock(guardMutex_);
    // Connections already under way when the lockout began fail too: no second notification.
    const bool wasBlocked = bruteForce_.isBlocked(source, now);
    startsLockout = bruteForce_.recordFailure(source, now) && !wasBlocked;
  }
  if (startsLockout) {
    log().warn("blocking {} for 15 minutes after repeated wrong codes", corvel::Private{source});
    context_.notifier->post(
        "Blocked repeated wrong codes",
        "A device kept entering the wrong access code, so Ambrel blocked it for 15 minutes.");
  }
}

bool ClientAdmission::isBlocked(const std::string& address, std::size_t undecided) const {
  std::lock_guard lock(guardMutex_);
  return bruteForce_.refuses(corvel::net::PeerSource::of(address), undecided, context_.clock->now());
}

}  // namespace ambrel
