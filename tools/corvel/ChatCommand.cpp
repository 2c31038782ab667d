#include "tools/corvel/ChatCommand.h"

#include <iostream>

#include "CorvelKit/base/Date.h"
#include "CorvelKit/base/JSONCoding.h"
#include "CorvelKit/protocol/ChatMessage.h"
#include "tools/corvel/ClientSession.h"

namespace corvel::tool {

using protocol::MessageType;

int ChatCommand::run(const ClientOptions& options) {
  ClientSession session(options);
  bool sent = false;
  session.onMessage = [&](MessageType type, const Bytes& payload) {
    if (type == MessageType::chat) {
      if (auto message = JSONCoding::decode<protocol::ChatMessage>(payload)) {
        std::cout << "chat " << message->sender << ": " << message->text << std::endl;
      }
    } else if (type == MessageType::permissions && !sent && !options.operands.empty()) {
      sent = true;
      protocol::ChatMessage message{UUID::random(), options.operands.front(), options.deviceName, Date::now()};
      session.connection().sendJSON(MessageType::chat, message, [&session, &options](std::error_code ec) {
        boost::asio::post(session.executor(), [&session, &options, ec] {
          std::cout << (ec ? "chat not sent: " + ec.message() : std::string("chat sent")) << std::endl;
          if (!options.seconds) session.sync([&session] { session.leave(); });
        });
      });
    }
  };
  return session.run();
}

}  // namespace corvel::tool
