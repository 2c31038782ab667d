#include "Ambrel_Host/controller/ScreenReading.h"

#include <boost/asio/post.hpp>

#include "Ambrel_Host/capture/CapturedFrame.h"
#include "Ambrel_Host/capture/VideoStreams.h"
#include "Ambrel_Host/controller/HostContext.h"
#include "Ambrel_Host/controller/MessageDispatch.h"
#include "Ambrel_Host/controller/ScreenReader.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/protocol/ScreenText.h"

namespace ambrel {

namespace {
auto& log() { return corvel::Log::host("screen"); }
}  // namespace

using corvel::protocol::MessageType;

ScreenReading::ScreenReading(HostContext& context, MessageDispatch& dispatch)
    : context_(context), thread_([this] { work_.run(); }) {
  using enum MessageDispatch::Stage;
  constexpr unsigned who = MessageDispatch::admitted | MessageDispatch::notSharer;
  dispatch.route(MessageType::screenTextRequest, main, who,
                 [this](const std::shared_ptr<RemoteClient>& c, corvel::Bytes&) { request(c, Kind::text); });
  dispatch.route(MessageType::screenshotRequest, main, who,
                 [this](const std::shared_ptr<RemoteClient>& c, corvel::Bytes&) { request(c, Kind::screenshot); });
}

ScreenReading::~ScreenReading() {
  keep_.reset();
  work_.stop();
  if (thread_.joinable()) thread_.join();
}

void ScreenReading::request(const std::shared_ptr<RemoteClient>& client, Kind kind) {
  auto reader = context_.services.screenReader;
  const auto display = client->displayID();
  auto& streams = *context_.services.streams;
  if (!reader || !streams.hasPipeline(display)) return;
  // No picture yet: no answer, and the viewer asks again.
  auto frame = streams.lastFrame(display);
  if (!frame) return;
  const auto key = std::make_pair(client->id(), kind);
  if (!underWay_.insert(key).second) return;

  std::weak_ptr<RemoteClient> weak = client;
  boost::asio::post(work_, [this, reader, frame, weak, kind, key] {
    if (kind == Kind::text) {
      auto lines = reader->recognizeText(*frame);
      if (lines) {
        corvel::protocol::ScreenText text{std::move(*lines), reader->frontmostApp()};
        if (auto c = weak.lock()) c->connection()->sendJSON(MessageType::screenText, text);
      } else {
        log().warn("text recognition failed");
      }
    } else if (auto jpeg = reader->jpeg(*frame)) {
      if (auto c = weak.lock()) c->connection()->send(MessageType::screenshot, *jpeg);
    } else {
      log().warn("couldn't encode a screenshot");
    }
    context_.post([this, key] { underWay_.erase(key); });
  });
}

}  // namespace ambrel
