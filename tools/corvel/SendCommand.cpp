#include "tools/corvel/SendCommand.h"

#include <deque>
#include <filesystem>
#include <iostream>

#include "CorvelKit/base/JSONCoding.h"
#include "CorvelKit/files/FileSender.h"
#include "CorvelKit/protocol/FileEnd.h"
#include "tools/corvel/ClientSession.h"

namespace corvel::tool {

using files::FileSender;
using protocol::MessageType;

namespace {

// A sender's way to the host: the session's connection, held weakly.
FileSender::Channel channelOf(net::CorvelConnection& connection) {
  std::weak_ptr<net::CorvelConnection> weak = connection.shared_from_this();
  return {[weak](MessageType type, ByteView payload, FileSender::Completion done) {
            if (auto c = weak.lock()) {
              c->send(type, payload, std::move(done));
            } else if (done) {
              done(net::ConnectionErrc::notConnected);
            }
          },
          [weak] {
            auto c = weak.lock();
            return c && c->isSecure();
          }};
}

}  // namespace

int SendCommand::run(const ClientOptions& options) {
  ClientSession session(options);
  std::deque<std::filesystem::path> queue(options.operands.begin(), options.operands.end());
  std::shared_ptr<FileSender> current;
  bool started = false;
  bool failed = false;

  std::function<void()> next = [&] {
    current.reset();
    while (!queue.empty()) {
      const auto file = queue.front();
      queue.pop_front();
      auto made = FileSender::make(file, channelOf(session.connection()));
      if (!made) {
        std::cout << "couldn't send " << file.string() << ": " << made.error().message() << std::endl;
        failed = true;
        continue;
      }
      current = *made;
      const auto name = current->offer().name;
      const auto size = current->offer().size;
      current->start({{}, [&session, &next, &failed, name, size](std::error_code error) {
                        boost::asio::post(session.executor(), [&, error, name, size] {
                          if (error) {
                            std::cout << "couldn't send " << name << ": " << error.message() << std::endl;
                            failed = true;
                          } else {
                            std::cout << "sent " << name << " (" << size << " bytes)" << std::endl;
                          }
                          next();
                        });
                      }});
      return;
    }
    // The host has the last file once it answers after it.
    session.sync([&session] { session.leave(); });
  };

  session.onMessage = [&](MessageType type, const Bytes& payload) {
    if (type == MessageType::permissions && !started) {
      started = true;
      next();
    } else if (type == MessageType::fileEnd && current) {
      auto end = JSONCoding::decode<protocol::FileEnd>(payload);
      if (end && end->cancelled && end->id == current->offer().id) current->refusedByPeer();
    }
  };
  const int status = session.run();
  if (current) current->cancel();
  if (status != ExitCode::ok) return status;
  return failed || !queue.empty() ? ExitCode::failed : ExitCode::ok;
}

}  // namespace corvel::tool
