#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Ambrel_Host/controller/HostServices.h"
#include "CorvelKit/base/Clock.h"
#include "CorvelKit/base/Defaults.h"
#include "CorvelKit/base/Executors.h"

namespace corvel::security {
class SecureIdentity;
}

namespace ambrel {

class ConnectionFactory;
class Notifier;
class ServiceAdvertiser;

// What the host controller is built from. Tests swap any of these for fakes.
struct HostEnvironment {
  corvel::Executor executor;                     // the controller's own (main) executor
  std::shared_ptr<corvel::Clock> clock;          // every time rule reads this
  std::shared_ptr<corvel::Defaults> defaults;    // the settings store
  const corvel::security::SecureIdentity* identity = nullptr;  // nullptr: the shared identity
  std::shared_ptr<ConnectionFactory> connections;  // nullptr: TLS and the secure handshake
  std::shared_ptr<ServiceAdvertiser> advertiser;   // nullptr: none
  std::shared_ptr<Notifier> notifier;              // nullptr: the log
  HostServices services;                           // missing ones do nothing
  std::string computerName;                        // advertised and sent to clients
  std::uint16_t port = 5895;
};

}  // namespace ambrel
