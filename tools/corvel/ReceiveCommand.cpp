#include "tools/corvel/ReceiveCommand.h"

#include <filesystem>
#include <iostream>
#include <set>

#include "CorvelKit/base/JSONCoding.h"
#include "CorvelKit/files/FileReceiver.h"
#include "CorvelKit/protocol/FileChunk.h"
#include "CorvelKit/protocol/FileEnd.h"
#include "CorvelKit/protocol/FileOffer.h"
#include "tools/corvel/ClientSession.h"

namespace corvel::tool {

using protocol::MessageType;

int ReceiveCommand::run(const ClientOptions& options) {
  std::error_code ec;
  const auto folder = std::filesystem::absolute(options.into.value_or("."), ec);
  files::FileReceiver receiver(folder);
  ClientSession session(options);
  int received = 0;
  std::set<UUID> refused;

  // Tells the host once that a file won't be taken.
  auto refuse = [&](const UUID& id, std::error_code why) {
    if (!refused.insert(id).second) return;
    std::cout << "refused a file: " << why.message() << std::endl;
    session.connection().sendJSON(MessageType::fileEnd, protocol::FileEnd{id, true});
  };

  session.onMessage = [&](MessageType type, const Bytes& payload) {
    switch (type) {
      case MessageType::fileOffer:
        if (auto offer = JSONCoding::decode<protocol::FileOffer>(payload)) {
          if (auto error = receiver.offer(*offer)) refuse(offer->id, error);
        }
        break;
      case MessageType::fileChunk:
        if (auto error = receiver.chunk(payload)) {
          if (auto chunk = protocol::FileChunk::parse(payload)) refuse(chunk->id, error);
        }
        break;
      case MessageType::fileEnd: {
        auto end = JSONCoding::decode<protocol::FileEnd>(payload);
        if (!end) break;
        auto done = receiver.end(*end);
        if (!done) {
          std::cout << "file transfer failed: " << done.error().message() << std::endl;
        } else if (*done) {
          std::cout << "received " << (*done)->url.string() << " (" << (*done)->size << " bytes)"
                    << std::endl;
          if (options.files && ++received >= *options.files) session.leave();
        }
        break;
      }
      default:
        break;
    }
  };
  return session.run();
}

}  // namespace corvel::tool
