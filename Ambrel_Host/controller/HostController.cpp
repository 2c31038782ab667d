#include "Ambrel_Host/controller/HostController.h"

#include <algorithm>

#include "Ambrel_Host/reach/HostListener.h"
#include "Ambrel_Host/reach/ServiceAdvertiser.h"
#include "Ambrel_Host/shell/Notifier.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/protocol/Hello.h"
#include "CorvelKit/protocol/ProtocolConstants.h"
#include "CorvelKit/security/AccessCode.h"
#include "CorvelKit/security/AuthToken.h"
#include "CorvelKit/security/Keychain.h"

namespace ambrel {

namespace {
using corvel::net::ConnectionState;
using corvel::protocol::MessageType;
using corvel::security::AccessCode;
using corvel::security::AuthToken;
using corvel::security::Keychain;

auto& log() { return corvel::Log::host("net"); }
}  // namespace

HostController::HostController(HostEnvironment environment)
    : env_(std::move(environment)), settings_(env_.defaults) {
  if (!env_.notifier) env_.notifier = Notifier::logOnly();
}

HostController::~HostController() {
  if (listener_) listener_->cancel();
}

void HostController::start() {
  if (started_) return;
  started_ = true;
  settings_.registerDefaults();
  loadSecrets();
  startListener();
}

void HostController::loadSecrets() {
  // A code that doesn't normalise to 12 characters (or a failed read) is replaced.
  auto stored = Keychain::get(accessCodeAccount, keychainService);
  if (stored && AccessCode::characterCount(AccessCode::normalize(*stored)) == AccessCode::length) {
    accessCode_ = *stored;
  } else {
    accessCode_ = AccessCode::generate();
  }
  auto token = Keychain::get(ownerTokenAccount, keychainService);
  if (token) {
    iCloudAuthToken_ = *token;
  } else {
    iCloudAuthToken_ = AuthToken::generate();
  }
  saveSecrets();
}

// The code as a synchronizable item, the token local-only.
void HostController::saveSecrets() {
  if (!Keychain::set(accessCode_, accessCodeAccount, keychainService, true)) {
    log().error("couldn't save the access code; it is kept for this run only");
  }
  if (!Keychain::set(iCloudAuthToken_, ownerTokenAccount, keychainService, false)) {
    log().error("couldn't save the owner token; it is kept for this run only");
  }
}

void HostController::changed() {
  if (onChange) onChange();
}

void HostController::setListenerState(std::string text) {
  if (text == listenerState_) return;
  listenerState_ = std::move(text);
  changed();
}

// ---- Listener ---------------------------------------------------------------------------------

void HostController::startListener() {
  listenerRetry_.reset();
  if (listener_) {
    listener_->cancel();
    listener_.reset();
  }
  // Derive (or fetch) the key now so the first connection doesn't pay for it.
  (void)AccessCode::key(currentSecret());

  auto listener = std::make_unique<HostListener>(env_.executor, env_.port);
  std::weak_ptr<HostController> weak = weak_from_this();
  try {
    listener->start(
        [weak](boost::asio::ip::tcp::socket socket) {
          if (auto self = weak.lock()) self->acceptConnection(std::move(socket));
        },
        [weak](std::error_code ec) {
          auto self = weak.lock();
          if (!self) return;
          self->setListenerState("Error: " + ec.message());
          log().error("listener failed: {}; retrying", ec.message());
          self->listenerRetry_ = self->env_.clock->schedule(
              self->env_.executor, listenerRetryDelay, [weak] {
                if (auto s = weak.lock()) s->startListener();
              });
        });
  } catch (const std::system_error& e) {
    // No retry here: the next code change, support session or failed connection tries again.
    setListenerState("Error: " + e.code().message());
    log().error("couldn't start the listener: {}", e.code().message());
    return;
  }
  listener_ = std::move(listener);
  if (env_.advertiser) {
    env_.advertiser->advertise(env_.computerName, std::string(corvel::protocol::corvelServiceType),
                               env_.port);
  }
  setListenerState("Ready on port " + std::to_string(env_.port));
  log().info("listener ready");
}

void HostController::acceptConnection(boost::asio::ip::tcp::socket socket) {
  boost::system::error_code ec;
  auto remote = socket.remote_endpoint(ec);
  std::string address = "unknown";
  if (!ec) {
    auto a = remote.address();
    if (a.is_v6() && a.to_v6().is_v4_mapped()) {
      a = boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, a.to_v6());
    }
    address = a.to_string();
  }
  log().info("new connection from {}", address);

  if (bruteForce_.isBlocked(address, env_.clock->now())) {
    socket.close(ec);
    return;
  }

  auto connection = corvel::net::CorvelConnection::server(std::move(socket), currentSecret(),
                                                          env_.identity);
  auto client = std::make_shared<RemoteClient>(connection, address, env_.clock, mainDisplayID_);
  clients_.push_back(client);
  changed();

  std::weak_ptr<HostController> weakSelf = weak_from_this();
  std::weak_ptr<RemoteClient> weakClient = client;
  auto executor = env_.executor;
  connection->onMessage = [weakSelf, weakClient, executor](MessageType type, corvel::Bytes payload) {
    auto c = weakClient.lock();
    if (!c) return;
    c->markHeard();
    boost::asio::post(executor, [weakSelf, weakClient, type, payload = std::move(payload)] {
      auto self = weakSelf.lock();
      auto c = weakClient.lock();
      if (self && c) self->handleMessage(c, type, payload);
    });
  };
  connection->onStateChange = [weakSelf, weakClient, executor](const ConnectionState& state) {
    log().info("client state {}", corvel::net::name(state.kind));
    boost::asio::post(executor, [weakSelf, weakClient, state] {
      auto self = weakSelf.lock();
      auto c = weakClient.lock();
      if (self && c) self->clientStateChanged(c, state);
    });
  };
  connection->start();

  // A client that hasn't said hello after 10 seconds is dropped.
  helloWatchdogs_[client->id()] = env_.clock->schedule(env_.executor, helloTimeout, [weakSelf, weakClient] {
    auto self = weakSelf.lock();
    auto c = weakClient.lock();
    if (!self || !c || c->hello() || !self->isListed(*c)) return;
    log().info("dropping a connection that never said hello");
    c->connection()->cancel();
    self->endClient(c, 2);
  });
}

void HostController::clientStateChanged(const std::shared_ptr<RemoteClient>& client,
                                        const ConnectionState& state) {
  switch (state.kind) {
    case ConnectionState::Kind::failed:
      if (state.tlsFailure || client->connection()->securityFailure()) {
        recordWrongCode(client->address());
        endClient(client, 2);
      } else {
        client->setEndReasonIfUnset("Connection lost");
        endClient(client, 2);
        log().info("restarting listener after a failed connection");
        startListener();
      }
      break;
    case ConnectionState::Kind::cancelled:
      endClient(client, 2);
      break;
    default:
      break;
  }
}

void HostController::handleMessage(const std::shared_ptr<RemoteClient>& client, MessageType type,
                                   const corvel::Bytes& payload) {
  if (!isListed(*client)) return;
  if (type == MessageType::hello && !client->hello()) {
    auto hello = corvel::net::CorvelConnection::decode<corvel::protocol::Hello>(payload);
    if (hello) {
      client->setHello(std::move(*hello));
      helloWatchdogs_.erase(client->id());
    }
  }
}

// ---- Wrong codes and ending ---------------------------------------------------------------------

void HostController::recordWrongCode(const std::string& address) {
  if (bruteForce_.recordFailure(address, env_.clock->now())) {
    corvel::Log::host("net").warn("blocking {} for 15 minutes after repeated wrong codes",
                                  corvel::Private{address});
    env_.notifier->post(
        "Blocked repeated wrong codes",
        "A device kept entering the wrong access code, so Ambrel blocked it for 15 minutes.");
  }
}

bool HostController::isListed(const RemoteClient& client) const {
  return std::any_of(clients_.begin(), clients_.end(),
                     [&](const auto& c) { return c.get() == &client; });
}

void HostController::endClient(const std::shared_ptr<RemoteClient>& client, int historyMode) {
  (void)historyMode;
  auto it = std::find(clients_.begin(), clients_.end(), client);
  if (it == clients_.end()) return;
  helloWatchdogs_.erase(client->id());
  client->connection()->cancel();
  clients_.erase(it);
  changed();
}

void HostController::regenerateAccessCode() {
  accessCode_ = AccessCode::generate();
  iCloudAuthToken_ = AuthToken::generate();
  saveSecrets();
  auto everyone = clients_;
  for (auto& c : everyone) {
    c->setEndReasonIfUnset("The access code was changed.");
    endClient(c, 1);
  }
  startListener();
  changed();
}

}  // namespace ambrel
