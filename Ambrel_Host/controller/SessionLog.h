#pragma once

#include <string>

#include "CorvelKit/base/UUID.h"
#include "CorvelKit/net/ConnectionRoute.h"

namespace ambrel {

// Where the host's logic records who used the computer (the session history keeps it).
class SessionLog {
 public:
  // What an entry needs to know about a client.
  struct Participant {
    corvel::UUID id;          // the client's id
    std::string device;       // its device name ("Unknown device" when it gave none)
    std::string symbol;       // its platform symbol
    std::string address;      // the peer's address text
    corvel::net::ConnectionRoute route = corvel::net::ConnectionRoute::unknown;
    bool isScreenSharer = false;
    bool isSupport = false;
    bool canControl = false;
  };

  virtual ~SessionLog() = default;
  // Opens the entry of an admitted client.
  virtual void start(const Participant& client) = 0;
  // Closes the client's open entry with `outcome`; nothing when it has none.
  virtual void end(const corvel::UUID& clientID, std::string outcome) = 0;
  // Records a request the owner turned down.
  virtual void declined(const Participant& client) = 0;
  // Records a wrong access code from `address`.
  virtual void wrongCode(std::string address) = 0;
};

}  // namespace ambrel
