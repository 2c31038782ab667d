#include "Ambrel_Host/controller/HostController.h"

#include <algorithm>

#include "Ambrel_Host/browser/LocalAddresses.h"
#include "Ambrel_Host/capture/DisplaySource.h"
#include "Ambrel_Host/controller/ConnectionFactory.h"
#include "Ambrel_Host/controller/LoginItem.h"
#include "Ambrel_Host/controller/Notifier.h"
#include "Ambrel_Host/controller/SystemActions.h"
#include "Ambrel_Host/input/InputInjector.h"
#include "Ambrel_Host/reach/AnywhereAccess.h"
#include "Ambrel_Host/reach/HardwareModel.h"
#include "Ambrel_Host/reach/OwnerSecret.h"
#include "Ambrel_Host/reach/HostListener.h"
#include "Ambrel_Host/reach/ServiceAdvertiser.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/base/Paths.h"
#include "CorvelKit/base/UUID.h"
#include "CorvelKit/cloud/CloudDatabase.h"
#include "CorvelKit/net/CorvelConnection.h"
#include "CorvelKit/net/PeerSource.h"
#include "CorvelKit/net/QuicListener.h"
#include "CorvelKit/net/QuicStream.h"
#include "CorvelKit/net/UnmappedAddress.h"
#include "CorvelKit/protocol/DisplayList.h"
#include "CorvelKit/protocol/ProtocolConstants.h"
#include "CorvelKit/security/AccessCode.h"
#include "CorvelKit/security/SecureIdentity.h"

namespace ambrel {

namespace {
auto& log() { return corvel::Log::host("net"); }
constexpr const char* kNoScreenAccess = "Screen Recording permission is needed.";
}  // namespace

HostController::HostController(HostEnvironment environment)
    : port_(environment.port),
      identity_(environment.identity),
      connections_(environment.connections ? std::move(environment.connections)
                                           : ConnectionFactory::corvel(environment.identity)),
      advertiser_(std::move(environment.advertiser)),
      context_(std::move(environment.executor), std::move(environment.clock),
               std::move(environment.defaults), std::move(environment.services),
               std::move(environment.notifier), std::move(environment.computerName)),
      supervision_(context_, secrets_, [this] { startListener(); }),
      files_(context_, dispatch_, supervision_, corvel::Paths::downloadsFolder() / "Ambrel") {}

HostController::~HostController() {
  if (auto& displays = context_.services.displays) displays->setChangeHandler({});
  if (listener_) listener_->cancel();
  if (quicListener_) quicListener_->stop();
  for (auto& c : context_.clients.all()) {
    c->connection()->cancel();
    c->connection()->detach();
  }
}

// ---- Start-up and quit ----------------------------------------------------------------------

void HostController::start() {
  if (started_) return;
  started_ = true;
  context_.lifetime = weak_from_this();

  admission_.load();
  context_.settings.registerDefaults();
  applier_.applyStreamSettings();
  context_.services.streams->setStopHandler([this, alive = context_.lifetime](std::error_code error,
                                                                             bool streaming) {
    auto owner = alive.lock();
    if (!owner) return;
    context_.streaming.update(streaming);
    context_.streaming.setLastError(error ? std::optional(error.message()) : std::nullopt);
  });

  secrets_.load();
  clipboard_.start();
  if (auto& source = context_.services.displays) {
    source->setChangeHandler([weak = weak_from_this(), executor = context_.executor] {
      boost::asio::post(executor, [weak] {
        if (auto self = weak.lock()) self->screensChanged();
      });
    });
    refreshDisplays();
  }
  startListener();
  if (context_.settings.flag(Setting::browserAccess)) {
    context_.services.browser->start(secrets_.accessCode());
  }
  statusTick();
  pollTick();
  startAnywhereAccess();
}

void HostController::startAnywhereAccess() {
  if (!context_.services.cloud) return;
  // This computer's identifier among the owner's devices, made once.
  auto& defaults = context_.settings.defaults();
  auto macID = defaults.string("hostDeviceID");
  if (!macID || !corvel::UUID::parse(*macID)) {
    macID = corvel::UUID::random().string();
    defaults.set("hostDeviceID", *macID);
  }
  // The sealed fields go out only when an owner secret is set (AnywhereAccess leaves them out
  // otherwise).
  auto describe = [weak = weak_from_this(), name = context_.computerName,
                   model = HardwareModel::current()] {
    corvel::cloud::CloudMac mac;
    mac.name = name.empty() ? "Mac" : name;
    mac.model = model;
    mac.lanAddresses = localIPv4Addresses();
    mac.ipv6Addresses = globalIPv6Addresses();
    if (auto self = weak.lock()) {
      mac.accessCode = self->accessCode();
      if (self->identity_ != nullptr) mac.identity = self->identity_->fingerprint();
      if (!self->iCloudAuthToken().empty()) mac.authToken = self->iCloudAuthToken();
    }
    return mac;
  };
  auto perform = [weak = weak_from_this()](corvel::net::CloudAction action, const std::string& sender) {
    if (auto self = weak.lock()) self->performCloudAction(action, sender);
  };
  anywhere_ = std::make_unique<AnywhereAccess>(context_, context_.services.cloud, *macID,
                                               std::move(describe), std::move(perform));
  if (auto secret = OwnerSecret::load()) anywhere_->useOwnerSecret(std::move(secret));
  if (context_.services.portMapper) anywhere_->usePortMapper(context_.services.portMapper, port_);
  if (context_.services.holePuncher && context_.settings.flag(Setting::natHolePunch)) {
    anywhere_->useHolePunching(context_.services.holePuncher);
  }
  anywhere_->start();
}

bool HostController::setOwnerSecret(std::optional<std::string> secret) {
  if (secret) {
    if (!OwnerSecret::save(*secret)) return false;
  } else {
    OwnerSecret::remove();
  }
  if (anywhere_) anywhere_->useOwnerSecret(std::move(secret));
  return true;
}

void HostController::shutdown() {
  if (isShuttingDown_) return;
  isShuttingDown_ = true;
  context_.observers.notify(HostProperty::isShuttingDown);
  statusTimer_.reset();
  pollTimer_.reset();
  supervision_.shutdown();
  context_.services.streams->stopAll();
  context_.streaming.update(false);
  context_.services.browser->stop();
  context_.services.overlays->hideAll();
  listenerRetry_.reset();
  if (listener_) {
    listener_->cancel();
    listener_.reset();
  }
  stopQuicListener();
  if (advertiser_) advertiser_->stop();
  if (anywhere_) anywhere_->stop();
}

// Permissions can change while the host runs (a display server restarted, XTEST switched off):
// read them again every second and publish only changes.
void HostController::pollTick() {
  pollTimer_ = context_.schedule(pollInterval, [this] { pollTick(); });
  bool capture = false;
  if (auto& source = context_.services.displays) capture = static_cast<bool>(source->displays());
  auto& observers = context_.observers;
  observers.assign(screenRecordingGranted_, capture, HostProperty::screenRecordingGranted);
  observers.assign(accessibilityGranted_,
                   context_.services.input && context_.services.input->isTrusted(),
                   HostProperty::accessibilityGranted);
  clipboard_.tick();
}

void HostController::statusTick() {
  statusTimer_ = context_.schedule(statusInterval, [this] { statusTick(); });
  std::vector<std::shared_ptr<ClientConnection>> targets;
  for (auto& c : context_.clients.viewers()) targets.push_back(c->connection());
  if (targets.empty() || !context_.services.status) return;
  // Building the status may wait on the disk: off this executor, with only what it needs.
  boost::asio::post(corvel::sharedPool(), [make = context_.services.status, targets] {
    auto status = make();
    for (auto& t : targets) t->sendJSON(corvel::protocol::MessageType::hostStatus, status);
  });
}

// ---- Settings -----------------------------------------------------------------------------------

std::optional<std::string> HostController::set(Setting setting, const SettingValue& value) {
  const auto before = context_.settings.value(setting);
  if (auto error = context_.settings.set(setting, value)) return error;
  if (before == context_.settings.value(setting)) return std::nullopt;
  context_.observers.notify(setting);
  applier_.apply(setting);
  return std::nullopt;
}

std::optional<std::string> HostController::setFromText(std::string_view key, std::string_view text) {
  auto parsed = SettingsTable::parse(key, text);
  if (!parsed) return parsed.error();
  return set(parsed->first, parsed->second);
}

std::optional<std::string> HostController::browserAddress() const {
  if (!context_.settings.flag(Setting::browserAccess)) return std::nullopt;
  return context_.services.browser->address();
}

// ---- Listener and connections ------------------------------------------------------------------

void HostController::setListenerState(std::string text) {
  context_.observers.assign(listenerState_, std::move(text), HostProperty::listenerState);
}

void HostController::startListener() {
  listenerRetry_.reset();
  if (listener_) {
    listener_->cancel();
    listener_.reset();
  }
  if (isShuttingDown_) return;
  // Derive (or fetch) the key now so the first connection doesn't pay for it.
  (void)corvel::security::AccessCode::key(secrets_.currentCode());
  // The QUIC listener is keyed with the code too: a new code, a new listener on the same port.
  if (quicListener_) {
    std::error_code quicError;
    startQuicListener(quicPort_, quicError);
  }

  auto listener = std::make_unique<HostListener>(context_.executor, port_);
  std::weak_ptr<HostController> weak = weak_from_this();
  const std::error_code error = listener->start(
      [weak](boost::asio::ip::tcp::socket socket) {
        if (auto self = weak.lock()) self->acceptConnection(std::move(socket));
      },
      [weak](std::error_code ec) {
        auto self = weak.lock();
        if (!self) return;
        self->setListenerState("Error: " + ec.message());
        self->retryListener(ec);
      });
  if (error) {
    setListenerState("Error: " + error.message());
    retryListener(error);
    return;
  }
  listenerRetryDelay_ = listenerRetryDelay;
  listener_ = std::move(listener);
  if (advertiser_) {
    advertiser_->advertise(context_.computerName, std::string(corvel::protocol::corvelServiceType),
                           port_);
  }
  setListenerState("Ready on port " + std::to_string(port_));
  log().info("listener ready");
}

// The listening socket failed or couldn't be bound (the port taken, no network yet): try again,
// waiting twice as long each time up to half a minute.
void HostController::retryListener(std::error_code error) {
  log().error("listener failed: {}; trying again in {} s", error.message(),
              listenerRetryDelay_.count());
  listenerRetry_ = context_.schedule(listenerRetryDelay_, [this] { startListener(); });
  listenerRetryDelay_ = std::min(listenerRetryDelay_ * 2, maxListenerRetryDelay);
}

std::uint16_t HostController::startQuicListener(std::uint16_t port, std::error_code& error) {
  if (quicListener_) quicListener_->stop();
  quicListener_.reset();
  if (isShuttingDown_) return 0;
  std::weak_ptr<HostController> weak = weak_from_this();
  auto executor = context_.executor;
  auto listener = corvel::net::QuicListener::make(
      secrets_.currentCode(),
      [weak, executor](std::shared_ptr<corvel::net::QuicStream> stream,
                       boost::asio::ip::udp::endpoint remote) {
        // From the listener's strand to the controller's executor.
        boost::asio::post(executor, [weak, stream = std::move(stream), remote]() mutable {
          auto self = weak.lock();
          if (!self) {
            stream->close();
            return;
          }
          self->acceptQuicConnection(std::move(stream),
                                     corvel::net::unmapped(remote.address()).to_string());
        });
      });
  const auto bound = listener->start(port, error);
  if (bound == 0) {
    log().error("QUIC listener failed: {}", error.message());
    return 0;
  }
  quicListener_ = std::move(listener);
  quicPort_ = bound;
  return bound;
}

void HostController::stopQuicListener() {
  if (quicListener_) quicListener_->stop();
  quicListener_.reset();
}

void HostController::punchFromQuicListener(const boost::asio::ip::udp::endpoint& toward) {
  if (quicListener_) quicListener_->punch(toward);
}

void HostController::acceptQuicConnection(std::shared_ptr<corvel::net::QuicStream> stream,
                                          std::string address) {
  log().info("new QUIC connection from {}", address);
  auto connection = connections_->make(std::move(stream), secrets_.currentCode(),
                                       secrets_.currentSource());
  if (connection) accept(std::move(connection), std::move(address));
}

void HostController::acceptConnection(boost::asio::ip::tcp::socket socket) {
  boost::system::error_code ec;
  auto remote = socket.remote_endpoint(ec);
  std::string address = "unknown";
  if (!ec) address = corvel::net::unmapped(remote.address()).to_string();
  log().info("new connection from {}", address);
  accept(connections_->make(std::move(socket), secrets_.currentCode(), secrets_.currentSource()),
         std::move(address));
}

std::shared_ptr<RemoteClient> HostController::accept(std::shared_ptr<ClientConnection> connection,
                                                     std::string address) {
  const auto source = corvel::net::PeerSource::of(address);
  if (admission_.isBlocked(address, supervision_.undecidedFrom(source)) ||
      !supervision_.makeRoomFor(source)) {
    connection->cancel();
    return nullptr;
  }
  auto client = std::make_shared<RemoteClient>(std::move(connection), std::move(address),
                                               context_.clock, context_.displays.mainDisplayID());
  context_.clients.add(client);

  std::weak_ptr<HostController> weakSelf = weak_from_this();
  std::weak_ptr<RemoteClient> weakClient = client;
  ConnectionEvents events;
  events.message = [weakSelf, weakClient](corvel::protocol::MessageType type, corvel::Bytes& payload) {
    auto self = weakSelf.lock();
    auto c = weakClient.lock();
    if (self && c) self->dispatch_.received(c, type, payload);
  };
  events.state = [weakSelf, weakClient, executor = context_.executor](
                     const corvel::net::ConnectionState& state) {
    log().info("client state {}", corvel::net::name(state.kind));
    boost::asio::post(executor, [weakSelf, weakClient, state] {
      auto self = weakSelf.lock();
      auto c = weakClient.lock();
      if (self && c) self->connectionChanged(c, state);
    });
  };
  client->connection()->start(std::move(events));
  supervision_.watchHello(client);
  return client;
}

void HostController::connectionChanged(const std::shared_ptr<RemoteClient>& client,
                                       const corvel::net::ConnectionState& state) {
  using Kind = corvel::net::ConnectionState::Kind;
  if (state.kind == Kind::failed) {
    if (client->connection()->failedSecurity(state)) {
      admission_.recordWrongCode(client->address());
    } else {
      // One peer's failure is that peer's alone: the listener goes on as it is.
      client->setEndReasonIfUnset("Connection lost");
    }
    supervision_.endClient(client, HistoryUpdate::closeIfAdmitted);
  } else if (state.kind == Kind::cancelled) {
    supervision_.endClient(client, HistoryUpdate::closeIfAdmitted);
  }
}

// ---- Displays -----------------------------------------------------------------------------------

void HostController::screensChanged() {
  // Replacing the pending task cancels it: a burst of changes leads to one refresh.
  screensChangedTask_ = context_.schedule(screenChangeDelay, [this] { refreshDisplays(); });
}

void HostController::refreshDisplays() {
  auto& source = context_.services.displays;
  if (!source) return;
  if (auto list = source->displays()) {
    setDisplays(*list);
  } else {
    context_.streaming.setLastError(std::string(kNoScreenAccess));
  }
}

void HostController::setDisplays(const std::vector<ScreenDisplay>& displays) {
  auto& layout = context_.displays;
  if (layout.set(displays)) context_.observers.notify(HostProperty::displays);
  const auto fallback = layout.fallback();
  if (!fallback) return;
  // Viewers whose display went away fall back to the main display, or else the first.
  for (auto& c : context_.clients.viewers()) {
    if (!layout.contains(c->displayID())) c->setDisplayID(*fallback);
    corvel::protocol::DisplayList list{layout.list(), c->displayID()};
    c->connection()->sendJSON(corvel::protocol::MessageType::displays, list);
    context_.streaming.update(context_.services.streams->attach(c));
  }
}

// ---- Access code, support sessions, cloud actions ----------------------------------------------

void HostController::regenerateAccessCode() {
  secrets_.regenerate();
  for (auto& c : std::vector(context_.clients.all())) stopClient(c, "The access code was changed.");
  startListener();
  if (context_.settings.flag(Setting::browserAccess)) {
    context_.services.browser->stop();
    context_.services.browser->start(secrets_.accessCode());
  }
  // The owner's devices read the code from the presence record: not minutes later.
  if (anywhere_) anywhere_->publish();
}

const corvel::security::SecureIdentity& HostController::identity() const {
  return identity_ ? *identity_ : corvel::security::SecureIdentity::shared();
}

bool HostController::launchAtLogin() const {
  return context_.services.loginItem && context_.services.loginItem->isEnabled();
}

std::optional<std::string> HostController::setLaunchAtLogin(bool on) {
  auto& item = context_.services.loginItem;
  if (!item) return "This computer has no way to start Ambrel Host at login.";
  auto error = item->setEnabled(on);
  context_.observers.notify(HostProperty::launchAtLogin);
  return error;
}

void HostController::startSupport() {
  secrets_.startSupport();
  startListener();
}

void HostController::performCloudAction(corvel::net::CloudAction action, const std::string& sender) {
  using corvel::net::CloudAction;
  switch (action) {
    case CloudAction::playSound:
      // No system sound to play here: the notification below is what the person at the
      // computer notices.
      break;
    case CloudAction::lockScreen:
      context_.lockScreen();
      break;
    case CloudAction::sleepDisplay:
      if (auto& actions = context_.services.actions) actions->sleepDisplay();
      break;
    case CloudAction::disconnectAll:
      disconnectEveryone("Disconnected from " + sender);
      break;
    case CloudAction::newCode:
      regenerateAccessCode();
      break;
  }
  context_.notifier->post(std::string(corvel::net::title(action)), "Requested from " + sender);
}

}  // namespace ambrel
