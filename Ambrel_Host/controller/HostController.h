#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include "Ambrel_Host/capture/ScreenDisplay.h"
#include "Ambrel_Host/controller/AccessSecrets.h"
#include "Ambrel_Host/controller/ChatLog.h"
#include "Ambrel_Host/controller/ClientAdmission.h"
#include "Ambrel_Host/controller/ClipboardSync.h"
#include "Ambrel_Host/controller/FileExchange.h"
#include "Ambrel_Host/controller/HostContext.h"
#include "Ambrel_Host/controller/HostEnvironment.h"
#include "Ambrel_Host/controller/MessageDispatch.h"
#include "Ambrel_Host/controller/ScreenReading.h"
#include "Ambrel_Host/controller/ScreenShares.h"
#include "Ambrel_Host/controller/SessionSupervision.h"
#include "Ambrel_Host/controller/SettingsApplier.h"
#include "CorvelKit/net/CloudAction.h"

namespace corvel::net {
class QuicListener;
class QuicStream;
}  // namespace corvel::net

namespace ambrel {

class AnywhereAccess;
class HostListener;

// The host's one long-lived object: it owns the parts of the host's logic and wires them —
// the shared state (HostContext: clients, displays, settings, observers), the secrets,
// admission, supervision, message dispatch and the settings applier — together with the
// listener, the timers and the display refresh. All of it lives on the executor: call it only
// there (the UI and the control socket post to it). Connection events arrive on each
// connection's queue; dispatch hops here for anything beyond the client record.
class HostController : public std::enable_shared_from_this<HostController> {
 public:
  static constexpr std::chrono::seconds listenerRetryDelay{1};
  static constexpr std::chrono::seconds maxListenerRetryDelay{30};
  static constexpr std::chrono::seconds statusInterval{5};
  static constexpr std::chrono::seconds pollInterval{1};
  static constexpr std::chrono::milliseconds screenChangeDelay{800};

  explicit HostController(HostEnvironment environment);
  ~HostController();

  // The start-up sequence: settings, access code and owner token, the listener, the browser
  // server when enabled, the timers.
  void start();
  // Quit: every client stopped with "Ambrel Host quit.", pipelines and services stopped.
  void shutdown();

  // ---- Observable state ----
  int subscribe(HostObservers::Observer observer) { return context_.observers.subscribe(std::move(observer)); }
  void unsubscribe(int token) { context_.observers.unsubscribe(token); }

  const std::string& accessCode() const { return secrets_.accessCode(); }
  const std::string& iCloudAuthToken() const { return secrets_.ownerToken(); }
  const std::optional<std::string>& supportCode() const { return secrets_.supportCode(); }
  const std::string& listenerState() const { return listenerState_; }
  const std::optional<std::string>& lastError() const { return context_.streaming.lastError(); }
  bool isStreaming() const { return context_.streaming.isStreaming(); }
  bool isShuttingDown() const { return isShuttingDown_; }
  bool screenRecordingGranted() const { return screenRecordingGranted_; }
  bool accessibilityGranted() const { return accessibilityGranted_; }
  const std::vector<std::shared_ptr<RemoteClient>>& clients() const { return context_.clients.all(); }
  std::shared_ptr<RemoteClient> client(const corvel::UUID& id) const { return context_.clients.find(id); }
  const std::vector<corvel::protocol::DisplayInfo>& displays() const { return context_.displays.list(); }
  const std::vector<TrustedDevice>& trustedDevices() const { return admission_.trustedDevices(); }
  std::vector<std::shared_ptr<RemoteClient>> pendingApprovals() const { return admission_.pending(); }
  std::optional<corvel::UUID> approvingClientID() const { return context_.approvals.front(); }
  // Where browsers reach the host while browser access is on and its server listens.
  std::optional<std::string> browserAddress() const;
  const std::string& computerName() const { return context_.computerName; }
  const std::vector<std::string>& sendingFiles() const { return files_.sendingFiles(); }
  const std::vector<ReceivedFile>& receivedFiles() const { return files_.receivedFiles(); }
  const std::vector<corvel::protocol::ChatMessage>& chat() const { return chat_.chat(); }
  int unreadChat() const { return chat_.unreadChat(); }
  // The cloud presence, while the host has a cloud database.
  const AnywhereAccess* anywhere() const { return anywhere_.get(); }
  AnywhereAccess* anywhere() { return anywhere_.get(); }
  std::uint16_t port() const { return port_; }
  // The identity that this host proves to devices.
  const corvel::security::SecureIdentity& identity() const;
  // Whether the host starts at login (false without a login item).
  bool launchAtLogin() const;

  // ---- Settings (each written at once, then applied) ----
  HostSettings& settings() { return context_.settings; }
  // An error sentence for a value of the wrong type or range.
  std::optional<std::string> set(Setting setting, const SettingValue& value);
  // The same from text, as the command line gives it.
  std::optional<std::string> setFromText(std::string_view key, std::string_view text);

  // An error sentence when the login item couldn't be changed (or there is none).
  std::optional<std::string> setLaunchAtLogin(bool on);

  // ---- Operations ----
  void startListener();
  void regenerateAccessCode();
  int disconnectEveryone(const std::string& reason) { return supervision_.disconnectEveryone(reason); }
  void stopClient(const std::shared_ptr<RemoteClient>& client, const std::string& reason) {
    supervision_.stopClient(client, reason);
  }
  bool answerApproval(const corvel::UUID& clientID, ApprovalAnswer answer) {
    return admission_.answer(clientID, answer);
  }
  bool forgetTrustedDevice(const std::string& id) { return admission_.forgetTrustedDevice(id); }
  void setCanControl(const std::shared_ptr<RemoteClient>& client, bool on) {
    admission_.setCanControl(client, on);
  }
  // A one-time code replaces the access code until the last support client leaves.
  void startSupport();
  void endSupport() { supervision_.endSupport(); }
  // Keeps the owner secret in the keychain (or removes it) and seals the presence record's private
  // fields with it from the next publish on; false when the keychain did not keep it.
  [[nodiscard]] bool setOwnerSecret(std::optional<std::string> secret);
  // The overlays' stop control (the pill's Stop, the curtain's shortcut at the computer): every
  // session ends. Returns how many there were.
  int stopFromComputer() {
    const int stopped = disconnectEveryone("The person at the computer stopped the session.");
    // The stopped sessions end a moment later; the curtain and pill go now.
    context_.refreshOverlays();
    return stopped;
  }
  // Removes the drawings devices made on the screens.
  void clearAnnotations() { context_.services.overlays->clearAnnotations(); }
  // A command from one of the owner's devices through the cloud; `sender` names that device.
  void performCloudAction(corvel::net::CloudAction action, const std::string& sender);
  // The computer's screens as last read. Clients whose display went away move to the main
  // display (or the first) and are sent the new list.
  void setDisplays(const std::vector<ScreenDisplay>& displays);
  // A screen configuration change: the displays are read again once changes stop for 0.8 s.
  void screensChanged();

  // An accepted socket, as the listener hands it over.
  void acceptConnection(boost::asio::ip::tcp::socket socket);
  // A connection made elsewhere (tests, other transports), from `address`; nothing when its
  // source holds too many connections that haven't said hello (the connection is cancelled).
  std::shared_ptr<RemoteClient> accept(std::shared_ptr<ClientConnection> connection, std::string address);
  // Accepts connections over QUIC on UDP `port` (0: any) too, for hole-punched paths (the port a
  // STUN discovery used), keyed like the TCP listener and, like it, following code changes. Its
  // connections go through accept() with their source address. Returns the bound port, or 0 with
  // `error`.
  std::uint16_t startQuicListener(std::uint16_t port, std::error_code& error);
  void stopQuicListener();
  std::uint16_t quicPort() const { return quicPort_; }
  // Opens this computer's router toward a viewer's public address, from the QUIC listener's port
  // (nothing without one).
  void punchFromQuicListener(const boost::asio::ip::udp::endpoint& toward);

  // The parts, for features that plug in (dispatch routes, observers) and for tests.
  HostContext& context() { return context_; }
  ClientAdmission& admission() { return admission_; }
  SessionSupervision& supervision() { return supervision_; }
  MessageDispatch& dispatch() { return dispatch_; }
  FileExchange& files() { return files_; }
  ChatLog& chatLog() { return chat_; }
  ClipboardSync& clipboard() { return clipboard_; }
  ScreenShares& screenShares() { return shares_; }

 private:
  void setListenerState(std::string text);
  void retryListener(std::error_code error);
  void acceptQuicConnection(std::shared_ptr<corvel::net::QuicStream> stream, std::string address);
  void connectionChanged(const std::shared_ptr<RemoteClient>& client,
                         const corvel::net::ConnectionState& state);
  void refreshDisplays();
  void statusTick();
  void pollTick();
  void startAnywhereAccess();

  const std::uint16_t port_;
  const corvel::security::SecureIdentity* const identity_;
  const std::shared_ptr<ConnectionFactory> connections_;
  const std::shared_ptr<ServiceAdvertiser> advertiser_;
  HostContext context_;
  AccessSecrets secrets_{context_.observers};
  SessionSupervision supervision_;
  ClientAdmission admission_{context_, secrets_, supervision_};
  MessageDispatch dispatch_{context_, admission_, supervision_};
  SettingsApplier applier_{context_, secrets_};
  FileExchange files_;
  ChatLog chat_{context_, dispatch_};
  ClipboardSync clipboard_{context_, dispatch_};
  ScreenReading screenReading_{context_, dispatch_};
  ScreenShares shares_{context_, dispatch_, supervision_};

  std::string listenerState_ = "Starting…";
  bool isShuttingDown_ = false;
  bool screenRecordingGranted_ = false;
  bool accessibilityGranted_ = false;
  bool started_ = false;
  std::unique_ptr<HostListener> listener_;
  std::shared_ptr<corvel::net::QuicListener> quicListener_;
  std::uint16_t quicPort_ = 0;
  std::unique_ptr<corvel::Timer> listenerRetry_;
  std::chrono::seconds listenerRetryDelay_ = listenerRetryDelay;
  std::unique_ptr<corvel::Timer> statusTimer_;
  std::unique_ptr<corvel::Timer> pollTimer_;
  std::unique_ptr<corvel::Timer> screensChangedTask_;
  std::unique_ptr<AnywhereAccess> anywhere_;  // last: it goes first, while the rest still lives
};

}  // namespace ambrel
