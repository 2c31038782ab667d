#include "tools/corvel/ConnectCommand.h"

#include <iostream>

#include "tools/corvel/ClientSession.h"

namespace corvel::tool {

namespace {

using protocol::MessageType;

// Payloads that are JSON text and can be shown as they are.
bool isJSON(MessageType t) {
  switch (t) {
    case MessageType::helloAck:
    case MessageType::clipboard:
    case MessageType::bye:
    case MessageType::audioFormat:
    case MessageType::fileOffer:
    case MessageType::fileEnd:
    case MessageType::chat:
    case MessageType::permissions:
    case MessageType::hostStatus:
    case MessageType::screenText:
    case MessageType::displays:
      return true;
    default:
      return false;
  }
}

}  // namespace

int ConnectCommand::run(const ClientOptions& options) {
  ClientSession session(options);
  session.onMessage = [](MessageType type, const Bytes& payload) {
    if (isJSON(type)) {
      std::cout << protocol::name(type) << " " << asString(payload) << std::endl;
    } else {
      std::cout << protocol::name(type) << " (" << payload.size() << " bytes)" << std::endl;
    }
  };
  return session.run();
}

}  // namespace corvel::tool
