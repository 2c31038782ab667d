#include "Ambrel_Host/controller/MessageDispatch.h"

#include "Ambrel_Host/capture/VideoStreams.h"
#include "Ambrel_Host/controller/ClientAdmission.h"
#include "Ambrel_Host/controller/HostContext.h"
#include "Ambrel_Host/controller/SessionSupervision.h"
#include "Ambrel_Host/controller/SystemActions.h"
#include "Ambrel_Host/input/InputInjector.h"
#include "CorvelKit/base/Date.h"
#include "CorvelKit/protocol/AnnotationEvent.h"
#include "CorvelKit/protocol/ChatMessage.h"
#include "CorvelKit/protocol/HostAction.h"
#include "CorvelKit/protocol/InputEvent.h"
#include "CorvelKit/protocol/MacCommand.h"
#include "CorvelKit/protocol/SelectDisplay.h"
#include "CorvelKit/security/SecretBytes.h"

namespace ambrel {

using corvel::JSONCoding;
using corvel::protocol::MessageType;

MessageDispatch::MessageDispatch(HostContext& context, ClientAdmission& admission,
                                 SessionSupervision& supervision)
    : context_(context) {
  using enum Stage;
  using Client = std::shared_ptr<RemoteClient>;
  using Payload = corvel::Bytes;

  route(MessageType::ping, fast, anyone, [](const Client& c, Payload& payload) {
    c->connection()->send(MessageType::pong, payload);
  });
  route(MessageType::input, fast, admitted | controlling | notSharer,
        [this](const Client& c, Payload& payload) { input(c, payload); });
  route(MessageType::keyframeRequest, fast, admitted,
        [this](const Client& c, Payload&) { keyframeRequest(c); });

  route(MessageType::hello, main, anyone, [&admission](const Client& c, Payload& payload) {
    admission.handleHello(c, payload);
  });
  route(MessageType::bye, main, anyone, [&supervision](const Client& c, Payload&) {
    c->setEndReasonIfUnset("Ended on " + c->displayName());
    supervision.endClient(c, HistoryUpdate::closeIfAdmitted);
  });
  route(MessageType::selectDisplay, main, admitted,
        [this](const Client& c, Payload& payload) { selectDisplay(c, payload); });
  route(MessageType::hostAction, main, admitted | controlling | notSharer,
        [this](const Client&, Payload& payload) { hostAction(payload); });
  route(MessageType::macCommand, main, admitted | controlling | notSharer,
        [this](const Client& c, Payload& payload) { macCommand(c, payload); });
  route(MessageType::annotation, main, admitted | notSharer,
        [this](const Client& c, Payload& payload) { annotation(c, payload); });
}

void MessageDispatch::route(MessageType type, Stage stage, unsigned requirements, Handler handler) {
  const auto index = corvel::protocol::wireValue(type);
  if (index >= tableSize) return;
  routes_[index] = Route{stage, requirements, std::move(handler)};
}

bool MessageDispatch::meets(const RemoteClient& client, unsigned requirements) {
  if ((requirements & admitted) && !client.authorized()) return false;
  if ((requirements & controlling) && !client.canControl()) return false;
  if ((requirements & notSharer) && client.isScreenSharer()) return false;
  return true;
}

void MessageDispatch::received(const std::shared_ptr<RemoteClient>& client, MessageType type,
                               corvel::Bytes& payload) {
  // Any message keeps a client alive for the silence rule, even one that is dropped.
  client->markHeard();
  const auto index = corvel::protocol::wireValue(type);
  if (index >= tableSize || !routes_[index].handler) return;
  const Route& route = routes_[index];
  if (route.stage == Stage::fast) {
    if (meets(*client, route.requirements)) route.handler(client, payload);
    return;
  }
  std::weak_ptr<RemoteClient> weak = client;
  // The decrypted bytes are wiped when the work is done with them, or dropped unrun.
  auto secret = corvel::security::SecretBytes::adopt(std::move(payload));
  context_.post([this, weak, &route, payload = std::move(secret)]() mutable {
    if (auto c = weak.lock()) mainStage(c, route, payload.bytes());
  });
}

void MessageDispatch::mainStage(const std::shared_ptr<RemoteClient>& client, const Route& route,
                                corvel::Bytes& payload) {
  if (!context_.clients.contains(*client) || !meets(*client, route.requirements)) return;
  route.handler(client, payload);
}

// ---- Fast stage -----------------------------------------------------------------------------

void MessageDispatch::input(const std::shared_ptr<RemoteClient>& client, corvel::Bytes& payload) {
  auto event = JSONCoding::decode<corvel::protocol::InputEvent>(payload);
  if (!event) return;
  client->markActivity();
  auto& injector = context_.services.input;
  if (!injector) return;
  if (auto bounds = context_.displays.boundsOf(client->displayID())) {
    injector->inject(std::move(*event), *bounds);
  } else {
    injector->inject(std::move(*event));
  }
}

void MessageDispatch::keyframeRequest(const std::shared_ptr<RemoteClient>& client) {
  // A still screen sends nothing new: the last picture is encoded again.
  const auto display = client->displayID();
  context_.services.streams->requestKeyframe(display);
  context_.services.streams->refresh(display);
}

// ---- Main stage -----------------------------------------------------------------------------

void MessageDispatch::selectDisplay(const std::shared_ptr<RemoteClient>& client,
                                    const corvel::Bytes& payload) {
  auto select = JSONCoding::decode<corvel::protocol::SelectDisplay>(payload);
  if (!select || !context_.displays.contains(select->displayID)) return;
  client->setDisplayID(select->displayID);
  context_.streaming.update(context_.services.streams->attach(client));
  context_.services.streams->requestKeyframe(select->displayID);
}

void MessageDispatch::hostAction(const corvel::Bytes& payload) {
  auto action = JSONCoding::decode<corvel::protocol::HostAction>(payload);
  if (!action) return;
  auto& actions = context_.services.actions;
  switch (*action) {
    case corvel::protocol::HostAction::lockScreen:
      context_.lockScreen();
      break;
    case corvel::protocol::HostAction::sleepDisplay:
      if (actions) actions->sleepDisplay();
      break;
    case corvel::protocol::HostAction::restart:
      if (actions) actions->restart();
      break;
  }
}

void MessageDispatch::macCommand(const std::shared_ptr<RemoteClient>& client,
                                 const corvel::Bytes& payload) {
  auto command = JSONCoding::decode<corvel::protocol::MacCommand>(payload);
  auto& actions = context_.services.actions;
  if (!command || !actions) return;
  // The answer goes back to the asking client as a chat message from "Mac".
  SystemActions::Reply reply = [weak = std::weak_ptr<RemoteClient>(client),
                                clock = context_.clock](std::string sentence) {
    auto c = weak.lock();
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
}

void MessageDispatch::annotation(const std::shared_ptr<RemoteClient>& client,
                                 const corvel::Bytes& payload) {
  auto event = JSONCoding::decode<corvel::protocol::AnnotationEvent>(payload);
  if (event) context_.services.overlays->draw(*event, client->displayID());
}

}  // namespace ambrel
