#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

#include "Ambrel_Host/capture/ScreenDisplay.h"
#include "Ambrel_Host/capture/StreamQuality.h"
#include "Ambrel_Host/controller/HostServices.h"
#include "Ambrel_Host/controller/HostSettings.h"
#include "Ambrel_Host/controller/RemoteClient.h"
#include "Ambrel_Host/controller/TrustedDevice.h"
#include "Ambrel_Host/input/DisplayBounds.h"
#include "CorvelKit/base/Clock.h"
#include "CorvelKit/base/Executors.h"
#include "CorvelKit/net/CloudAction.h"
#include "CorvelKit/protocol/DisplayInfo.h"
#include "CorvelKit/security/BruteForceGuard.h"

namespace corvel::security {
class SecureIdentity;
}

namespace ambrel {

class HostListener;
class Notifier;
class ServiceAdvertiser;

// What the controller is built from. Tests swap any of these for fakes.
struct HostEnvironment {
  corvel::Executor executor;                     // the controller's own (main) executor
  std::shared_ptr<corvel::Clock> clock;          // every time rule reads this
  std::shared_ptr<corvel::Defaults> defaults;    // the settings store
  const corvel::security::SecureIdentity* identity = nullptr;  // nullptr: the shared identity
  std::shared_ptr<ServiceAdvertiser> advertiser;  // nullptr: none
  std::shared_ptr<Notifier> notifier;             // nullptr: the log
  HostServices services;                          // missing ones do nothing
  std::string computerName;                       // advertised and sent to clients
  std::uint16_t port = 5895;
};

// The answers to the approval question.
enum class ApprovalAnswer { allow, alwaysAllow, deny };

// The host's one long-lived object: the access code, the settings, the listener and every
// connected client, with admission, supervision and message dispatch. All of its state lives on
// its executor; call it only there (the UI and the control socket post to it). Connection
// callbacks arrive on each connection's queue and hop here for anything beyond the client record.
class HostController : public std::enable_shared_from_this<HostController> {
 public:
  static constexpr const char* keychainService = "com.pinebay.corvel";
  static constexpr const char* accessCodeAccount = "host.accessCode";
  static constexpr const char* ownerTokenAccount = "host.iCloudToken";

  static constexpr std::chrono::seconds helloTimeout{10};
  static constexpr std::chrono::seconds listenerRetryDelay{1};
  static constexpr std::chrono::seconds stopGrace{1};
  static constexpr std::chrono::seconds silenceLimit{20};
  static constexpr std::chrono::seconds supervisionInterval{5};
  static constexpr std::chrono::seconds statusInterval{5};
  static constexpr std::chrono::seconds pollInterval{1};
  static constexpr std::chrono::seconds recentlyStoppedWindow{120};
  static constexpr std::chrono::milliseconds screenChangeDelay{800};

  explicit HostController(HostEnvironment environment);
  ~HostController();

  // The start-up sequence: settings, access code and owner token, the listener, the browser
  // server when enabled, the status timer.
  void start();
  // Quit: every client stopped with "Ambrel Host quit.", pipelines and services stopped.
  void shutdown();

  // ---- Observable state ----
  // Subscribers hear the name of each property that changed (a setter given the value it already
  // holds notifies nothing).
  using Observer = std::function<void(std::string_view property)>;
  int subscribe(Observer observer);
  void unsubscribe(int token);

  const std::string& accessCode() const { return accessCode_; }
  const std::string& iCloudAuthToken() const { return iCloudAuthToken_; }
  const std::string& listenerState() const { return listenerState_; }
  const std::optional<std::string>& supportCode() const { return supportCode_; }
  const std::optional<std::string>& lastError() const { return lastError_; }
  bool isStreaming() const { return isStreaming_; }
  bool isShuttingDown() const { return isShuttingDown_; }
  const std::vector<std::shared_ptr<RemoteClient>>& clients() const { return clients_; }
  const std::vector<corvel::protocol::DisplayInfo>& displays() const { return displays_; }
  const std::vector<TrustedDevice>& trustedDevices() const { return trustedDevices_; }
  // Clients waiting for an answer to the approval question, oldest first.
  std::vector<std::shared_ptr<RemoteClient>> pendingApprovals() const;
  std::optional<corvel::UUID> approvingClientID() const;
  const std::string& computerName() const { return env_.computerName; }
  std::uint16_t port() const { return env_.port; }
  corvel::Executor executor() const { return env_.executor; }

  // ---- Settings (each persists at once, then applies) ----
  HostSettings& settings() { return settings_; }
  int idleTimeoutMinutes() const { return idleTimeoutMinutes_; }
  void setIdleTimeoutMinutes(int minutes);
  bool lockWhenSessionEnds() const { return lockWhenSessionEnds_; }
  void setLockWhenSessionEnds(bool on);
  bool blankScreen() const { return blankScreen_; }
  void setBlankScreen(bool on);
  bool askBeforeConnecting() const { return askBeforeConnecting_; }
  void setAskBeforeConnecting(bool on);
  bool browserAccess() const { return browserAccess_; }
  void setBrowserAccess(bool on);
  // Where browsers reach the host while browser access is on and its server listens.
  std::optional<std::string> browserAddress() const;
  StreamQuality quality() const { return quality_; }
  void setQuality(StreamQuality q);
  bool shareClipboard() const { return shareClipboard_; }
  void setShareClipboard(bool on);
  bool shareSound() const { return shareSound_; }
  void setShareSound(bool on);
  bool preferHEVC() const { return preferHEVC_; }
  void setPreferHEVC(bool on);
  bool preferHDR() const { return preferHDR_; }
  void setPreferHDR(bool on);
  bool highFrameRate() const { return highFrameRate_; }
  void setHighFrameRate(bool on);
  // Sets any setting of the table from text, as the command line gives it; an error sentence on
  // failure.
  std::optional<std::string> setSettingFromText(std::string_view key, std::string_view text);

  // ---- Operations ----
  void startListener();
  void regenerateAccessCode();
  // Stops every client with `reason`; returns how many there were.
  int disconnectEveryone(const std::string& reason);
  // Ends a session from this side: bye now, the client removed a second later.
  void stopClient(const std::shared_ptr<RemoteClient>& client, const std::string& reason);
  // Removes a client and cleans up, once; `historyMode` 0 = leave the history, 1 = close the
  // client's entry, 2 = close it only if the client had been admitted.
  void endClient(const std::shared_ptr<RemoteClient>& client, int historyMode);
  void admit(const std::shared_ptr<RemoteClient>& client);
  // The answer to the approval question for one waiting client; false when it isn't waiting.
  bool answerApproval(const corvel::UUID& clientID, ApprovalAnswer answer);
  void trustDevice(TrustedDevice device);
  bool forgetTrustedDevice(const std::string& id);
  void setCanControl(const std::shared_ptr<RemoteClient>& client, bool on);
  // A one-time code replaces the access code until the last support client leaves.
  void startSupport();
  void endSupport();
  void recordWrongCode(const std::string& address);
  // A command from one of the owner's devices through the cloud; `sender` names that device.
  void performCloudAction(corvel::net::CloudAction action, const std::string& sender);
  bool screenRecordingGranted() const { return screenRecordingGranted_; }
  bool accessibilityGranted() const { return accessibilityGranted_; }
  std::shared_ptr<RemoteClient> client(const corvel::UUID& id) const;
  // The computer's screens as last read; the main one is where new clients start. Clients whose
  // display went away move to the main display (or the first) and are sent the new list.
  void setDisplays(const std::vector<ScreenDisplay>& displays);
  // A screen configuration change: the displays are read again once changes stop for 0.8 s.
  void screensChanged();

  // Hands an accepted socket to the controller as the listener does.
  void acceptConnection(boost::asio::ip::tcp::socket socket);

  // Called with each client whose approval is wanted (the UI shows the question).
  std::function<void(const std::shared_ptr<RemoteClient>&)> onApprovalRequested;

 private:
  void notify(std::string_view property);
  void loadSecrets();
  void saveSecrets();
  void setListenerState(std::string text);
  // Stores `value` and notifies, unless the field already holds it.
  template <class T>
  bool assign(T& field, T value, std::string_view property) {
    if (field == value) return false;
    field = std::move(value);
    notify(property);
    return true;
  }

  // Connections (on their queues, then here).
  void clientStateChanged(const std::shared_ptr<RemoteClient>& client,
                          const corvel::net::ConnectionState& state);
  void dispatchFast(const std::shared_ptr<RemoteClient>& client, corvel::protocol::MessageType type,
                    corvel::Bytes& payload);
  void dispatchMain(const std::shared_ptr<RemoteClient>& client, corvel::protocol::MessageType type,
                    const corvel::Bytes& payload);

  // Admission.
  void handleHello(const std::shared_ptr<RemoteClient>& client, const corvel::Bytes& payload);
  void askApproval(const std::shared_ptr<RemoteClient>& client);
  void startSession(const std::shared_ptr<RemoteClient>& client);
  bool isListed(const RemoteClient& client) const;

  // Supervision.
  void ensureSupervision();
  void supervise();
  void statusTick();
  void pollTick();
  void updateStreaming(bool streaming);
  void releaseInput();
  void lockScreen();
  // Where a display lies on the X screen; read from connection queues, hence the lock.
  std::optional<DisplayBounds> boundsOf(std::uint32_t displayID) const;

  HostEnvironment env_;
  HostSettings settings_;
  std::map<int, Observer> observers_;
  int nextObserver_ = 0;

  std::string accessCode_;
  std::string iCloudAuthToken_;
  std::string listenerState_ = "Starting…";
  std::optional<std::string> supportCode_;
  std::optional<std::string> lastError_;
  bool isStreaming_ = false;
  bool isShuttingDown_ = false;
  std::vector<std::shared_ptr<RemoteClient>> clients_;
  // Every connection this controller made, ended or not: their callbacks post to the executor,
  // so none may outlive the controller with callbacks still set.
  std::vector<std::weak_ptr<corvel::net::CorvelConnection>> connections_;
  std::vector<corvel::protocol::DisplayInfo> displays_;
  std::uint32_t mainDisplayID_ = 0;
  mutable std::mutex boundsMutex_;
  std::map<std::uint32_t, DisplayBounds> bounds_;
  std::vector<TrustedDevice> trustedDevices_;
  std::vector<corvel::UUID> approvals_;  // waiting clients, oldest first
  std::map<std::string, corvel::Clock::TimePoint> recentlyStopped_;

  int idleTimeoutMinutes_ = 0;
  bool lockWhenSessionEnds_ = false;
  bool blankScreen_ = false;
  bool askBeforeConnecting_ = true;
  bool browserAccess_ = false;
  StreamQuality quality_ = StreamQuality::balanced;
  bool shareClipboard_ = true;
  bool shareSound_ = true;
  bool preferHEVC_ = true;
  bool preferHDR_ = false;
  bool highFrameRate_ = false;

  corvel::security::BruteForceGuard bruteForce_ = corvel::security::BruteForceGuard::host();
  std::unique_ptr<HostListener> listener_;
  std::unique_ptr<corvel::Timer> listenerRetry_;
  std::unordered_map<corvel::UUID, std::unique_ptr<corvel::Timer>> helloWatchdogs_;
  std::unordered_map<corvel::UUID, std::unique_ptr<corvel::Timer>> stopTimers_;
  std::unique_ptr<corvel::Timer> supervision_;
  std::unique_ptr<corvel::Timer> statusTimer_;
  std::unique_ptr<corvel::Timer> pollTimer_;
  bool screenRecordingGranted_ = false;
  bool accessibilityGranted_ = false;
  std::unique_ptr<corvel::Timer> screensChangedTask_;
  bool started_ = false;
};

}  // namespace ambrel
