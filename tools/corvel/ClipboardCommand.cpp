#include "tools/corvel/ClipboardCommand.h"

#include <fstream>
#include <iostream>
#include <iterator>

#include "CorvelKit/base/JSONCoding.h"
#include "CorvelKit/protocol/Clipboard.h"
#include "tools/corvel/ClientSession.h"

namespace corvel::tool {

using protocol::MessageType;

int ClipboardCommand::run(const ClientOptions& options) {
  std::optional<std::string> text;
  if (!options.operands.empty()) text = options.operands.front();
  if (options.textFile) {
    std::ifstream in(*options.textFile, std::ios::binary);
    if (!in) {
      std::cerr << "corvel: can't read " << *options.textFile << "\n";
      return ExitCode::usage;
    }
    text = std::string(std::istreambuf_iterator<char>(in), {});
  }
  ClientSession session(options);
  bool sent = false;
  session.onMessage = [&](MessageType type, const Bytes& payload) {
    if (type == MessageType::clipboard) {
      auto clipboard = JSONCoding::decode<protocol::Clipboard>(payload);
      if (!clipboard) return;
      std::cout << "clipboard " << clipboard->text.size() << " bytes" << std::endl;
      if (options.into) {
        std::ofstream(*options.into, std::ios::binary | std::ios::trunc) << clipboard->text;
      } else {
        std::cout << clipboard->text << std::endl;
      }
      if (!text && !options.seconds) session.leave();
    } else if (type == MessageType::permissions && text && !sent) {
      sent = true;
      session.connection().sendJSON(MessageType::clipboard, protocol::Clipboard{*text},
                                    [&session, &options](std::error_code ec) {
                                      boost::asio::post(session.executor(), [&session, &options, ec] {
                                        std::cout << (ec ? "clipboard not sent: " + ec.message()
                                                         : std::string("clipboard sent"))
                                                  << std::endl;
                                        if (!options.seconds) session.sync([&session] { session.leave(); });
                                      });
                                    });
    }
  };
  return session.run();
}

}  // namespace corvel::tool
