#pragma once

#include <array>
#include <functional>
#include <memory>

#include "Ambrel_Host/controller/RemoteClient.h"
#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/protocol/MessageType.h"

namespace ambrel {

class ClientAdmission;
class SessionSupervision;
struct HostContext;

// Every opened message of a client, in two stages, each a table by message type. The fast stage
// runs on the connection's queue and never waits for the controller: input goes straight to the
// injector, pings are answered, key frames asked for. Everything that touches controller state
// runs in the main stage, on the controller's executor. Types without a route are dropped.
//
// Features add their routes with route() while the host starts, before any connection.
class MessageDispatch {
 public:
  // Who may send a message: every requirement given must hold, read when the stage runs.
  enum Requirement : unsigned {
    anyone = 0,
    admitted = 1u << 0,
    controlling = 1u << 1,
    notSharer = 1u << 2,
  };
  enum class Stage { fast, main };
  // A fast-stage handler may touch only the client record and services that are safe from any
  // thread; a main-stage handler runs on the executor, with the client still listed.
  using Handler = std::function<void(const std::shared_ptr<RemoteClient>&, corvel::Bytes& payload)>;

  MessageDispatch(HostContext& context, ClientAdmission& admission, SessionSupervision& supervision);

  void route(corvel::protocol::MessageType type, Stage stage, unsigned requirements, Handler handler);

  // A message from the client's connection, on its queue.
  void received(const std::shared_ptr<RemoteClient>& client, corvel::protocol::MessageType type,
                corvel::Bytes& payload);

 private:
  struct Route {
    Stage stage = Stage::fast;
    unsigned requirements = anyone;
    Handler handler;  // empty: dropped
  };
  static constexpr std::size_t tableSize = 64;

  void mainStage(const std::shared_ptr<RemoteClient>& client, const Route& route,
                 corvel::Bytes& payload);
  static bool meets(const RemoteClient& client, unsigned requirements);

  // Fast stage.
  void input(const std::shared_ptr<RemoteClient>& client, corvel::Bytes& payload);
  void keyframeRequest(const std::shared_ptr<RemoteClient>& client);
  // Main stage.
  void selectDisplay(const std::shared_ptr<RemoteClient>& client, const corvel::Bytes& payload);
  void hostAction(const corvel::Bytes& payload);
  void macCommand(const std::shared_ptr<RemoteClient>& client, const corvel::Bytes& payload);
  void annotation(const std::shared_ptr<RemoteClient>& client, const corvel::Bytes& payload);

  HostContext& context_;
  std::array<Route, tableSize> routes_;
};

}  // namespace ambrel
