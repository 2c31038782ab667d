// HostController: every opened message of a client, in two stages. The fast stage runs on the
// connection's queue and never waits for the controller (input goes straight to the injector);
// everything that touches controller state hops to the controller's executor.

#include "Ambrel_Host/controller/HostController.h"
#include "Ambrel_Host/controller/SystemActions.h"
#include "Ambrel_Host/input/InputInjector.h"
#include "CorvelKit/base/Date.h"
#include "CorvelKit/protocol/AnnotationEvent.h"
#include "CorvelKit/protocol/ChatMessage.h"
#include "CorvelKit/protocol/HostAction.h"
#include "CorvelKit/protocol/InputEvent.h"
#include "CorvelKit/protocol/MacCommand.h"
#include "CorvelKit/protocol/SelectDisplay.h"

namespace ambrel {

using corvel::net::CorvelConnection;
using corvel::protocol::MessageType;

void HostController::dispatchFast(const std::shared_ptr<RemoteClient>& client, MessageType type,
                                  corvel::Bytes& payload) {
  client->markHeard();
  switch (type) {
    case MessageType::video:
      // A screen shared to this computer: shown by the share window, which comes with its part.
      return;
    case MessageType::input: {
      if (!client->authorized() || !client->canControl() || client->isScreenSharer()) return;
      auto event = CorvelConnection::decode<corvel::protocol::InputEvent>(payload);
      if (!event) return;
      client->markActivity();
      if (auto& injector = env_.services.input) {
        if (auto bounds = boundsOf(client->displayID())) {
          injector->inject(std::move(*event), *bounds);
        } else {
          injector->inject(std::move(*event));
        }
      }
      return;
    }
    case MessageType::keyframeRequest:
      if (client->authorized()) {
        // A still screen sends nothing new: the last picture is encoded again.
        env_.services.streams->requestKeyframe(client->displayID());
        env_.services.streams->refresh(client->displayID());
      }
      return;
    case MessageType::fileOffer:
    case MessageType::fileChunk:
    case MessageType::fileEnd:
      // File transfer has its own part; until then offers are not taken up.
      return;
    case MessageType::ping:
      client->connection()->send(MessageType::pong, payload);
      return;
    default:
      break;
  }
  std::weak_ptr<HostController> weakSelf = weak_from_this();
  std::weak_ptr<RemoteClient> weakClient = client;
  boost::asio::post(env_.executor,
                    [weakSelf, weakClient, type, payload = std::move(payload)] {
                      auto self = weakSelf.lock();
                      auto c = weakClient.lock();
                      if (self && c) self->dispatchMain(c, type, payload);
                    });
}

void HostController::dispatchMain(const std::shared_ptr<RemoteClient>& client, MessageType type,
                                  const corvel::Bytes& payload) {
  if (!isListed(*client)) return;
  const bool admitted = client->authorized();
  const bool controlling = client->canControl();
  const bool sharer = client->isScreenSharer();

  switch (type) {
    case MessageType::hello:
      handleHello(client, payload);
      break;
    case MessageType::bye:
      client->setEndReasonIfUnset("Ended on " + client->displayName());
      endClient(client, 2);
      break;
    case MessageType::selectDisplay: {
      if (!admitted) break;
      auto select = CorvelConnection::decode<corvel::protocol::SelectDisplay>(payload);
      if (!select) break;
      auto known = std::any_of(displays_.begin(), displays_.end(),
                               [&](const auto& d) { return d.id == select->displayID; });
      if (!known) break;
      client->setDisplayID(select->displayID);
      updateStreaming(env_.services.streams->attach(client));
      env_.services.streams->requestKeyframe(select->displayID);
      break;
    }
    case MessageType::hostAction: {
      if (!admitted || !controlling || sharer) break;
      auto action = CorvelConnection::decode<corvel::protocol::HostAction>(payload);
      if (!action) break;
      auto& actions = env_.services.actions;
      switch (*action) {
        case corvel::protocol::HostAction::lockScreen:
          lockScreen();
          break;
        case corvel::protocol::HostAction::sleepDisplay:
          if (actions) actions->sleepDisplay();
          break;
        case corvel::protocol::HostAction::restart:
          if (actions) actions->restart();
          break;
      }
      break;
    }
    case MessageType::macCommand: {
      if (!admitted || !controlling || sharer) break;
      auto command = CorvelConnection::decode<corvel::protocol::MacCommand>(payload);
      if (!command) break;
      auto& actions = env_.services.actions;
      if (!actions) break;
      std::weak_ptr<RemoteClient> weakClient = client;
      auto clock = env_.clock;
      // The answer goes back to the asking client as a chat message from "Mac".
      SystemActions::Reply reply = [weakClient, clock](std::string sentence) {
        auto c = weakClient.lock();
        if (!c) return;
        corvel::protocol::ChatMessage message{corvel::UUID::random(), std::move(sentence), "Mac",
                                              corvel::Date::fromTimePoint(clock->wallNow())};
        c->connection()->sendJSON(MessageType::chat, message);
      };
      std::visit(
          [&](auto& c) {
            using T = std::decay_t<decltype(c)>;
            if constexpr (std::is_same_v<T, corvel::protocol::mac_command::OpenApp>) {
              actions->openApp(c.name, reply);
            } else if constexpr (std::is_same_v<T, corvel::protocol::mac_command::OpenURL>) {
              actions->openURL(c.url, reply);
            } else {
              actions->runShortcut(c.name, reply);
            }
          },
          static_cast<corvel::protocol::MacCommand::variant&>(*command));
      break;
    }
    case MessageType::annotation: {
      if (!admitted || sharer) break;
      auto event = CorvelConnection::decode<corvel::protocol::AnnotationEvent>(payload);
      if (event) env_.services.overlays->draw(*event, client->displayID());
      break;
    }
    case MessageType::clipboard:
    case MessageType::chat:
    case MessageType::sharerInfo:
    case MessageType::screenTextRequest:
    case MessageType::screenshotRequest:
      // Clipboard, chat, shared screens and screen text come with their own parts.
      break;
    default:
      break;
  }
}

}  // namespace ambrel
