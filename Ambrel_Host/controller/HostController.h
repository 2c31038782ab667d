#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

#include "Ambrel_Host/controller/HostSettings.h"
#include "Ambrel_Host/controller/RemoteClient.h"
#include "CorvelKit/base/Clock.h"
#include "CorvelKit/base/Executors.h"
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
  std::string computerName;                       // advertised and sent to clients
  std::uint16_t port = 5895;
};

// The host's one long-lived object: the access code, the settings, the listener and every
// connected client. All of its state lives on its executor; call it only there (the UI and the
// control socket post to it).
class HostController : public std::enable_shared_from_this<HostController> {
 public:
  // Keychain items of the host, under the service "com.pinebay.corvel".
  static constexpr const char* keychainService = "com.pinebay.corvel";
  static constexpr const char* accessCodeAccount = "host.accessCode";
  static constexpr const char* ownerTokenAccount = "host.iCloudToken";

  explicit HostController(HostEnvironment environment);
  ~HostController();

  // The start-up sequence: settings, access code and owner token, the listener.
  void start();

  // ---- State ----
  const std::string& accessCode() const { return accessCode_; }
  const std::string& iCloudAuthToken() const { return iCloudAuthToken_; }
  const std::string& listenerState() const { return listenerState_; }
  const std::optional<std::string>& supportCode() const { return supportCode_; }
  const std::vector<std::shared_ptr<RemoteClient>>& clients() const { return clients_; }
  HostSettings& settings() { return settings_; }
  const std::string& computerName() const { return env_.computerName; }
  std::uint16_t port() const { return env_.port; }
  corvel::Executor executor() const { return env_.executor; }
  // Called after every change of state the interface shows (listener state, clients).
  std::function<void()> onChange;

  // ---- Operations ----
  // Cancels the current listener and starts a new one keyed with the support code while a support
  // session runs, else with the access code.
  void startListener();
  // A new access code and owner token; every client is ended, the listener restarted.
  void regenerateAccessCode();
  // The wrong-code step: the brute-force guard counts the address, and blocks it after repeats.
  void recordWrongCode(const std::string& address);
  // Removes a client and cleans up, once; `historyMode` 0 = leave the history, 1 = close the
  // client's entry, 2 = close it only if the client had been admitted.
  void endClient(const std::shared_ptr<RemoteClient>& client, int historyMode);

  // Hands an accepted socket to the controller as the listener does (tests use it directly).
  void acceptConnection(boost::asio::ip::tcp::socket socket);

  static constexpr std::chrono::seconds helloTimeout{10};
  static constexpr std::chrono::seconds listenerRetryDelay{1};

 private:
  void setListenerState(std::string text);
  void changed();
  void loadSecrets();
  void saveSecrets();
  void clientStateChanged(const std::shared_ptr<RemoteClient>& client,
                          const corvel::net::ConnectionState& state);
  void handleMessage(const std::shared_ptr<RemoteClient>& client, corvel::protocol::MessageType type,
                     const corvel::Bytes& payload);
  bool isListed(const RemoteClient& client) const;
  const std::string& currentSecret() const { return supportCode_ ? *supportCode_ : accessCode_; }

  HostEnvironment env_;
  HostSettings settings_;
  std::string accessCode_;
  std::string iCloudAuthToken_;
  std::string listenerState_ = "Starting…";
  std::optional<std::string> supportCode_;
  std::vector<std::shared_ptr<RemoteClient>> clients_;
  corvel::security::BruteForceGuard bruteForce_ = corvel::security::BruteForceGuard::host();
  std::unique_ptr<HostListener> listener_;
  std::unique_ptr<corvel::Timer> listenerRetry_;
  std::unordered_map<corvel::UUID, std::unique_ptr<corvel::Timer>> helloWatchdogs_;
  std::uint32_t mainDisplayID_ = 0;
  bool started_ = false;
};

}  // namespace ambrel
