#include "Ambrel_Host/controller/HostController.h"

#include <algorithm>

#include "Ambrel_Host/capture/DisplaySource.h"
#include "Ambrel_Host/controller/SystemActions.h"
#include "Ambrel_Host/input/InputInjector.h"
#include "Ambrel_Host/reach/HostListener.h"
#include "Ambrel_Host/shell/SessionHistory.h"
#include "Ambrel_Host/reach/ServiceAdvertiser.h"
#include "Ambrel_Host/shell/Notifier.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/protocol/DisplayList.h"
#include "CorvelKit/protocol/ProtocolConstants.h"
#include "CorvelKit/security/AccessCode.h"
#include "CorvelKit/security/AuthToken.h"
#include "CorvelKit/security/Keychain.h"

namespace ambrel {

namespace {
using corvel::security::AccessCode;
using corvel::security::AuthToken;
using corvel::security::Keychain;

auto& log() { return corvel::Log::host("net"); }
}  // namespace

HostController::HostController(HostEnvironment environment)
    : env_(std::move(environment)), settings_(env_.defaults) {
  if (!env_.notifier) env_.notifier = Notifier::logOnly();
  env_.services.fillMissing();
}

HostController::~HostController() {
  if (env_.services.displays) env_.services.displays->setChangeHandler({});
  if (listener_) listener_->cancel();
  for (auto& weak : connections_) {
    if (auto c = weak.lock()) {
      c->cancel();
      c->detach();
    }
  }
}

// ---- Observation --------------------------------------------------------------------------------

int HostController::subscribe(Observer observer) {
  observers_.emplace(nextObserver_, std::move(observer));
  return nextObserver_++;
}

void HostController::unsubscribe(int token) { observers_.erase(token); }

void HostController::notify(std::string_view property) {
  // Observers may subscribe or unsubscribe while being told.
  auto current = observers_;
  for (auto& [token, observer] : current) observer(property);
}

// ---- Start-up and quit ----------------------------------------------------------------------

void HostController::start() {
  if (started_) return;
  started_ = true;

  idleTimeoutMinutes_ = settings_.idleTimeoutMinutes();
  lockWhenSessionEnds_ = settings_.lockWhenSessionEnds();
  blankScreen_ = settings_.blankScreen();
  trustedDevices_ = settings_.trustedDevices();

  settings_.registerDefaults();
  askBeforeConnecting_ = settings_.askBeforeConnecting();
  browserAccess_ = settings_.browserAccess();
  quality_ = settings_.quality();
  shareClipboard_ = settings_.shareClipboard();
  shareSound_ = settings_.shareSound();
  preferHEVC_ = settings_.preferHEVC();
  preferHDR_ = settings_.preferHDR();
  highFrameRate_ = settings_.highFrameRate();

  auto& streams = env_.services.streams;
  streams->setPreset(preset(quality_).maxWidth, preset(quality_).bitrate, frameRate(highFrameRate_));
  streams->setCodecPreferences(preferHEVC_, preferHDR_);
  {
    std::weak_ptr<HostController> weak = weak_from_this();
    streams->setStopHandler([weak](std::error_code error, bool streaming) {
      auto self = weak.lock();
      if (!self) return;
      self->updateStreaming(streaming);
      self->assign(self->lastError_,
                   error ? std::optional<std::string>(error.message()) : std::nullopt, "lastError");
    });
  }

  loadSecrets();
  if (auto& source = env_.services.displays) {
    std::weak_ptr<HostController> weak = weak_from_this();
    auto executor = env_.executor;
    source->setChangeHandler([weak, executor] {
      boost::asio::post(executor, [weak] {
        if (auto self = weak.lock()) self->screensChanged();
      });
    });
    if (auto list = source->displays()) {
      setDisplays(*list);
    } else {
      assign(lastError_, std::optional<std::string>("Screen Recording permission is needed."),
             "lastError");
    }
  }
  startListener();
  if (browserAccess_) env_.services.browser->start(accessCode_);
  statusTick();
  pollTick();
}

// Permissions can change while the host runs (a display server restarted, XTEST switched off):
// read them again every second and publish only changes.
void HostController::pollTick() {
  std::weak_ptr<HostController> weak = weak_from_this();
  pollTimer_ = env_.clock->schedule(env_.executor, pollInterval, [weak] {
    if (auto self = weak.lock()) self->pollTick();
  });
  bool capture = false;
  if (auto& source = env_.services.displays) capture = static_cast<bool>(source->displays());
  assign(screenRecordingGranted_, capture, "screenRecordingGranted");
  assign(accessibilityGranted_, env_.services.input && env_.services.input->isTrusted(),
         "accessibilityGranted");
}

void HostController::performCloudAction(corvel::net::CloudAction action, const std::string& sender) {
  using corvel::net::CloudAction;
  switch (action) {
    case CloudAction::playSound:
      // No system sound to play here: the notification below is what the person at the
      // computer notices.
      break;
    case CloudAction::lockScreen:
      lockScreen();
      break;
    case CloudAction::sleepDisplay:
      if (env_.services.actions) env_.services.actions->sleepDisplay();
      break;
    case CloudAction::disconnectAll:
      disconnectEveryone("Disconnected from " + sender);
      break;
    case CloudAction::newCode:
      regenerateAccessCode();
      break;
  }
  env_.notifier->post(std::string(corvel::net::title(action)), "Requested from " + sender);
}

void HostController::screensChanged() {
  std::weak_ptr<HostController> weak = weak_from_this();
  // Replacing the pending task cancels it: a burst of changes leads to one refresh.
  screensChangedTask_ = env_.clock->schedule(env_.executor, screenChangeDelay, [weak] {
    auto self = weak.lock();
    if (!self || !self->env_.services.displays) return;
    if (auto list = self->env_.services.displays->displays()) {
      self->setDisplays(*list);
    } else {
      self->assign(self->lastError_,
                   std::optional<std::string>("Screen Recording permission is needed."),
                   "lastError");
    }
  });
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
  iCloudAuthToken_ = token ? *token : AuthToken::generate();
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

void HostController::shutdown() {
  if (isShuttingDown_) return;
  isShuttingDown_ = true;
  notify("isShuttingDown");
  statusTimer_.reset();
  pollTimer_.reset();
  supervision_.reset();
  for (auto& c : std::vector(clients_)) stopClient(c, "Ambrel Host quit.");
  env_.services.streams->stopAll();
  updateStreaming(false);
  env_.services.browser->stop();
  env_.services.overlays->hideAll();
  if (listener_) {
    listener_->cancel();
    listener_.reset();
  }
  if (env_.advertiser) env_.advertiser->stop();
}

// ---- Listener ---------------------------------------------------------------------------------

void HostController::setListenerState(std::string text) {
  assign(listenerState_, std::move(text), "listenerState");
}

void HostController::startListener() {
  listenerRetry_.reset();
  if (listener_) {
    listener_->cancel();
    listener_.reset();
  }
  if (isShuttingDown_) return;
  const std::string secret = supportCode_ ? *supportCode_ : accessCode_;
  // Derive (or fetch) the key now so the first connection doesn't pay for it.
  (void)AccessCode::key(secret);

  auto listener = std::make_unique<HostListener>(env_.executor, env_.port);
  std::weak_ptr<HostController> weak = weak_from_this();
  const std::error_code error = listener->start(
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
  if (error) {
    // No retry here: the next code change, support session or failed connection tries again.
    setListenerState("Error: " + error.message());
    log().error("couldn't start the listener: {}", error.message());
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

  auto connection = corvel::net::CorvelConnection::server(
      std::move(socket), supportCode_ ? *supportCode_ : accessCode_, env_.identity);
  std::erase_if(connections_, [](const auto& weak) { return weak.expired(); });
  connections_.push_back(connection);
  auto client = std::make_shared<RemoteClient>(connection, address, env_.clock, mainDisplayID_);
  clients_.push_back(client);
  notify("clients");

  std::weak_ptr<HostController> weakSelf = weak_from_this();
  std::weak_ptr<RemoteClient> weakClient = client;
  auto executor = env_.executor;
  connection->onMessage = [weakSelf, weakClient](corvel::protocol::MessageType type,
                                                 corvel::Bytes payload) {
    auto self = weakSelf.lock();
    auto c = weakClient.lock();
    if (self && c) self->dispatchFast(c, type, payload);
  };
  connection->onStateChange = [weakSelf, weakClient,
                               executor](const corvel::net::ConnectionState& state) {
    log().info("client state {}", corvel::net::name(state.kind));
    boost::asio::post(executor, [weakSelf, weakClient, state] {
      auto self = weakSelf.lock();
      auto c = weakClient.lock();
      if (self && c) self->clientStateChanged(c, state);
    });
  };
  connection->start();

  // A client that hasn't said hello after 10 seconds is dropped.
  helloWatchdogs_[client->id()] =
      env_.clock->schedule(env_.executor, helloTimeout, [weakSelf, weakClient] {
        auto self = weakSelf.lock();
        auto c = weakClient.lock();
        if (!self || !c || c->hello() || !self->isListed(*c)) return;
        log().info("dropping a connection that never said hello");
        self->endClient(c, 2);
      });
}

void HostController::clientStateChanged(const std::shared_ptr<RemoteClient>& client,
                                        const corvel::net::ConnectionState& state) {
  using Kind = corvel::net::ConnectionState::Kind;
  if (state.kind == Kind::failed) {
    if (state.tlsFailure || client->connection()->securityFailure()) {
      recordWrongCode(client->address());
      endClient(client, 2);
      return;
    }
    bool listed = isListed(*client);
    client->setEndReasonIfUnset("Connection lost");
    endClient(client, 2);
    if (listed && !isShuttingDown_) {
      log().info("restarting listener after a failed connection");
      startListener();
    }
  } else if (state.kind == Kind::cancelled) {
    endClient(client, 2);
  }
}

bool HostController::isListed(const RemoteClient& client) const {
  return std::any_of(clients_.begin(), clients_.end(),
                     [&](const auto& c) { return c.get() == &client; });
}

std::shared_ptr<RemoteClient> HostController::client(const corvel::UUID& id) const {
  for (auto& c : clients_) {
    if (c->id() == id) return c;
  }
  return nullptr;
}

void HostController::setDisplays(const std::vector<ScreenDisplay>& displays) {
  std::vector<corvel::protocol::DisplayInfo> infos;
  std::map<std::uint32_t, DisplayBounds> bounds;
  for (const auto& d : displays) {
    infos.push_back({d.id, d.name, d.width, d.height});
    bounds[d.id] = DisplayBounds{d.x, d.y, d.width, d.height};
    if (d.isMain) mainDisplayID_ = d.id;
  }
  {
    std::lock_guard lock(boundsMutex_);
    bounds_ = std::move(bounds);
  }
  assign(displays_, std::move(infos), "displays");
  if (displays_.empty()) return;

  // Viewers whose display went away fall back to the main display, or else the first.
  auto present = [&](std::uint32_t id) {
    return std::any_of(displays_.begin(), displays_.end(), [&](const auto& d) { return d.id == id; });
  };
  const std::uint32_t fallback = present(mainDisplayID_) ? mainDisplayID_ : displays_.front().id;
  for (auto& c : clients_) {
    if (!c->authorized() || c->isScreenSharer()) continue;
    if (!present(c->displayID())) c->setDisplayID(fallback);
    corvel::protocol::DisplayList list{displays_, c->displayID()};
    c->connection()->sendJSON(corvel::protocol::MessageType::displays, list);
    updateStreaming(env_.services.streams->attach(c));
  }
}

std::optional<DisplayBounds> HostController::boundsOf(std::uint32_t displayID) const {
  std::lock_guard lock(boundsMutex_);
  auto it = bounds_.find(displayID);
  if (it == bounds_.end()) return std::nullopt;
  return it->second;
}

void HostController::releaseInput() {
  if (env_.services.input) env_.services.input->releaseAll();
}

void HostController::lockScreen() {
  releaseInput();
  if (env_.services.actions) env_.services.actions->lockScreen();
}

// ---- Access code and support sessions ----------------------------------------------------------

void HostController::regenerateAccessCode() {
  accessCode_ = AccessCode::generate();
  iCloudAuthToken_ = AuthToken::generate();
  saveSecrets();
  notify("accessCode");
  notify("iCloudAuthToken");
  for (auto& c : std::vector(clients_)) stopClient(c, "The access code was changed.");
  startListener();
  if (browserAccess_) {
    env_.services.browser->stop();
    env_.services.browser->start(accessCode_);
  }
}

void HostController::startSupport() {
  assign(supportCode_, std::optional(AccessCode::generate()), "supportCode");
  startListener();
}

void HostController::endSupport() {
  if (!supportCode_) return;
  assign(supportCode_, std::optional<std::string>(), "supportCode");
  for (auto& c : std::vector(clients_)) {
    if (c->isSupport()) stopClient(c, "The support session ended.");
  }
  startListener();
}

void HostController::recordWrongCode(const std::string& address) {
  if (env_.services.history) env_.services.history->wrongCode(address);
  if (bruteForce_.recordFailure(address, env_.clock->now())) {
    log().warn("blocking {} for 15 minutes after repeated wrong codes", corvel::Private{address});
    env_.notifier->post(
        "Blocked repeated wrong codes",
        "A device kept entering the wrong access code, so Ambrel blocked it for 15 minutes.");
  }
}

// ---- Settings -----------------------------------------------------------------------------------

void HostController::setIdleTimeoutMinutes(int minutes) {
  minutes = std::max(0, minutes);
  settings_.setIdleTimeoutMinutes(minutes);
  assign(idleTimeoutMinutes_, minutes, "idleTimeoutMinutes");
}

void HostController::setLockWhenSessionEnds(bool on) {
  settings_.setLockWhenSessionEnds(on);
  assign(lockWhenSessionEnds_, on, "lockWhenSessionEnds");
}

void HostController::setBlankScreen(bool on) {
  settings_.setBlankScreen(on);
  if (assign(blankScreen_, on, "blankScreen")) env_.services.overlays->refresh();
}

void HostController::setAskBeforeConnecting(bool on) {
  settings_.setAskBeforeConnecting(on);
  assign(askBeforeConnecting_, on, "askBeforeConnecting");
}

void HostController::setBrowserAccess(bool on) {
  settings_.setBrowserAccess(on);
  if (!assign(browserAccess_, on, "browserAccess")) return;
  if (on) {
    env_.services.browser->start(accessCode_);
  } else {
    env_.services.browser->stop();
  }
}

std::optional<std::string> HostController::browserAddress() const {
  if (!browserAccess_) return std::nullopt;
  return env_.services.browser->address();
}

void HostController::setQuality(StreamQuality q) {
  settings_.setQuality(q);
  assign(quality_, q, "quality");
  env_.services.streams->setPreset(preset(q).maxWidth, preset(q).bitrate, frameRate(highFrameRate_));
}

void HostController::setShareClipboard(bool on) {
  settings_.setShareClipboard(on);
  assign(shareClipboard_, on, "shareClipboard");
}

void HostController::setShareSound(bool on) {
  settings_.setShareSound(on);
  assign(shareSound_, on, "shareSound");
}

void HostController::setPreferHEVC(bool on) {
  settings_.setPreferHEVC(on);
  assign(preferHEVC_, on, "preferHEVC");
  env_.services.streams->setCodecPreferences(preferHEVC_, preferHDR_);
}

void HostController::setPreferHDR(bool on) {
  settings_.setPreferHDR(on);
  assign(preferHDR_, on, "preferHDR");
  env_.services.streams->setCodecPreferences(preferHEVC_, preferHDR_);
}

void HostController::setHighFrameRate(bool on) {
  settings_.setHighFrameRate(on);
  assign(highFrameRate_, on, "highFrameRate");
  env_.services.streams->setPreset(preset(quality_).maxWidth, preset(quality_).bitrate, frameRate(on));
}

std::optional<std::string> HostController::setSettingFromText(std::string_view key,
                                                              std::string_view text) {
  // Parse and store through the settings, then apply through the setter of the key.
  if (auto error = settings_.setFromText(key, text)) return error;
  if (key == "idleTimeoutMinutes") setIdleTimeoutMinutes(settings_.idleTimeoutMinutes());
  if (key == "lockWhenSessionEnds") setLockWhenSessionEnds(settings_.lockWhenSessionEnds());
  if (key == "blankScreen") setBlankScreen(settings_.blankScreen());
  if (key == "askBeforeConnecting") setAskBeforeConnecting(settings_.askBeforeConnecting());
  if (key == "browserAccess") setBrowserAccess(settings_.browserAccess());
  if (key == "quality") setQuality(settings_.quality());
  if (key == "shareClipboard") setShareClipboard(settings_.shareClipboard());
  if (key == "shareSound") setShareSound(settings_.shareSound());
  if (key == "preferHEVC") setPreferHEVC(settings_.preferHEVC());
  if (key == "preferHDR") setPreferHDR(settings_.preferHDR());
  if (key == "highFrameRate") setHighFrameRate(settings_.highFrameRate());
  return std::nullopt;
}

// ---- Trusted devices ----------------------------------------------------------------------------

void HostController::trustDevice(TrustedDevice device) {
  std::erase_if(trustedDevices_, [&](const TrustedDevice& d) { return d.id == device.id; });
  trustedDevices_.push_back(std::move(device));
  settings_.setTrustedDevices(trustedDevices_);
  notify("trustedDevices");
}

bool HostController::forgetTrustedDevice(const std::string& id) {
  auto removed = std::erase_if(trustedDevices_, [&](const TrustedDevice& d) { return d.id == id; });
  if (removed == 0) return false;
  settings_.setTrustedDevices(trustedDevices_);
  notify("trustedDevices");
  return true;
}

}  // namespace ambrel
