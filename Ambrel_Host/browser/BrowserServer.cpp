#include "Ambrel_Host/browser/BrowserServer.h"

#include <algorithm>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "Ambrel_Host/browser/BrowserClient.h"
#include "Ambrel_Host/browser/BrowserPage.h"
#include "Ambrel_Host/browser/BrowserRequest.h"
#include "Ambrel_Host/browser/BrowserSocket.h"
#include "Ambrel_Host/browser/HttpRequestHead.h"
#include "Ambrel_Host/browser/LocalAddresses.h"
#include "Ambrel_Host/capture/VideoPipeline.h"
#include "Ambrel_Host/input/InputInjector.h"
#include "Ambrel_Host/reach/HostListener.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/security/AccessCode.h"

namespace ambrel {

namespace {
auto& log() { return corvel::Log::host("browser"); }
}  // namespace

// One connection before its upgrade: the request head being read, then the response being sent.
struct BrowserServer::Exchange {
  Exchange(const corvel::Executor& executor, std::shared_ptr<std::atomic<std::size_t>> count)
      : deadline(executor), pending(std::move(count)) {
    ++*pending;
  }
  ~Exchange() { --*pending; }

  boost::asio::steady_timer deadline;
  std::shared_ptr<std::atomic<std::size_t>> pending;
  std::shared_ptr<BrowserSocket> socket;
  corvel::Bytes buffer;
  std::array<std::uint8_t, HttpRequestHead::readChunkBytes> chunk{};
  std::string response;
};

std::shared_ptr<BrowserServer> BrowserServer::create(Parts parts) {
  return std::shared_ptr<BrowserServer>(new BrowserServer(std::move(parts)));
}

BrowserServer::BrowserServer(Parts parts) : parts_(std::move(parts)) {}

BrowserServer::~BrowserServer() {
  if (listener_) listener_->cancel();
  std::vector<std::shared_ptr<BrowserClient>> clients;
  std::shared_ptr<VideoPipeline> pipeline;
  {
    std::lock_guard lock(mutex_);
    clients.swap(clients_);
    pipeline = std::move(pipeline_);
  }
  for (auto& c : clients) c->close();
  if (pipeline) pipeline->stop();
}

void BrowserServer::setStateHandler(std::function<void(const std::optional<std::string>&)> handler) {
  queue_.post([weak = weak_from_this(), handler = std::move(handler)]() mutable {
    if (auto self = weak.lock()) self->onState_ = std::move(handler);
  });
}

bool BrowserServer::usesTLS() const {
  std::lock_guard lock(mutex_);
  return usesTLS_;
}

std::size_t BrowserServer::clientCount() const {
  std::lock_guard lock(mutex_);
  return clients_.size();
}

std::shared_ptr<VideoPipeline> BrowserServer::pipeline() const {
  std::lock_guard lock(mutex_);
  return pipeline_;
}

std::optional<std::string> BrowserServer::address() const {
  bool tls = false;
  {
    std::lock_guard lock(mutex_);
    if (!listening_) return std::nullopt;
    tls = usesTLS_;
  }
  const auto addresses = localIPv4Addresses();
  const std::string host = addresses.empty() ? "127.0.0.1" : addresses.front();
  return std::string(tls ? "https" : "http") + "://" + host + ":" + std::to_string(parts_.port);
}

// ---- Listener -------------------------------------------------------------------------------------

void BrowserServer::start(const std::string& accessCode) {
  queue_.post([weak = weak_from_this(), accessCode] {
    if (auto self = weak.lock()) self->startListening(accessCode);
  });
}

void BrowserServer::stop() {
  queue_.post([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->stopListening();
  });
}

void BrowserServer::startListening(const std::string& accessCode) {
  {
    std::lock_guard lock(mutex_);
    normalizedCode_ = corvel::security::AccessCode::normalize(accessCode);
    listening_ = false;
  }
  if (listener_) {
    listener_->cancel();
    listener_.reset();
  }

  std::optional<TlsIdentity> identity;
  if (parts_.identity) identity = parts_.identity();
  tls_ = identity ? BrowserTlsContext::make(*identity) : nullptr;
  if (!tls_) log().error("browser server falling back to plain HTTP: no certificate");
  {
    std::lock_guard lock(mutex_);
    usesTLS_ = tls_ != nullptr;
  }

  auto listener = std::make_unique<HostListener>(queue_.executor(), parts_.port);
  std::weak_ptr<BrowserServer> weak = weak_from_this();
  try {
    listener->start(
        [weak](boost::asio::ip::tcp::socket socket) {
          if (auto self = weak.lock()) self->accepted(std::move(socket));
        },
        [weak](std::error_code error) {
          log().error("browser server failed: {}", error.message());
          auto self = weak.lock();
          if (!self) return;
          {
            std::lock_guard lock(self->mutex_);
            self->listening_ = false;
          }
          self->reportState();
        });
  } catch (const std::system_error& error) {
    log().error("browser server could not start: {}", error.code().message());
    reportState();
    return;
  }
  listener_ = std::move(listener);
  {
    std::lock_guard lock(mutex_);
    listening_ = true;
  }
  log().info("browser server ready on port {}", parts_.port);
  reportState();
}

void BrowserServer::stopListening() {
  if (listener_) {
    listener_->cancel();
    listener_.reset();
  }
  std::vector<std::shared_ptr<BrowserClient>> clients;
  {
    std::lock_guard lock(mutex_);
    listening_ = false;
    clients.swap(clients_);
  }
  for (auto& c : clients) c->close();
  if (!clients.empty() && parts_.injector) parts_.injector->releaseAll();
  stopPipelineIfIdle(true);
  reportState();
}

void BrowserServer::reportState() {
  if (onState_) onState_(address());
}

// ---- Requests ---------------------------------------------------------------------------------------

void BrowserServer::accepted(boost::asio::ip::tcp::socket socket) {
  if (pending_->load() >= maxPendingRequests) {
    boost::system::error_code ignored;
    socket.close(ignored);
    return;
  }
  auto exchange = std::make_shared<Exchange>(queue_.executor(), pending_);
  exchange->socket = std::make_shared<BrowserSocket>(std::move(socket), tls_);
  // Ends a connection that is too slow to ask; goes with the exchange.
  exchange->deadline.expires_after(requestTimeout);
  exchange->deadline.async_wait([weakExchange = std::weak_ptr<Exchange>(exchange)](
                                    const boost::system::error_code& ec) {
    auto e = weakExchange.lock();
    if (!ec && e && e->socket) e->socket->close();
  });
  std::weak_ptr<BrowserServer> weak = weak_from_this();
  exchange->socket->handshake([weak, exchange](const std::error_code& ec) {
    auto self = weak.lock();
    if (ec || !self) {
      exchange->socket->close();
      return;
    }
    self->readHead(exchange);
  });
}

void BrowserServer::readHead(const std::shared_ptr<Exchange>& exchange) {
  std::weak_ptr<BrowserServer> weak = weak_from_this();
  exchange->socket->readSome(exchange->chunk, [weak, exchange](const std::error_code& ec, std::size_t n) {
    corvel::append(exchange->buffer, corvel::ByteView(exchange->chunk.data(), n));
    auto self = weak.lock();
    if (!self) {
      exchange->socket->close();
      return;
    }
    if (auto end = HttpRequestHead::findEnd(exchange->buffer)) {
      self->handleHead(exchange, *end);
      return;
    }
    if (ec || exchange->buffer.size() > HttpRequestHead::maxBufferedBytes) {
      exchange->socket->close();
      return;
    }
    self->readHead(exchange);
  });
}

void BrowserServer::handleHead(const std::shared_ptr<Exchange>& exchange, std::size_t headEnd) {
  const auto bytes = corvel::ByteView(exchange->buffer);
  auto head = HttpRequestHead::parse(corvel::asString(bytes.first(headEnd)));
  if (!head) {
    exchange->socket->close();
    return;
  }
  std::string code;
  {
    std::lock_guard lock(mutex_);
    code = normalizedCode_;
  }
  const auto route = BrowserRequest::route(*head, code);
  switch (route.kind) {
    case BrowserRequest::Kind::status:
      respond(exchange, BrowserRequest::statusResponse(route.status));
      if (route.status == BrowserRequest::forbidden) {
        log().warn("browser rejected: wrong or missing access code");
      }
      return;
    case BrowserRequest::Kind::page: {
      const auto page = BrowserPage::html();
      if (page.empty()) {
        respond(exchange, BrowserRequest::statusResponse(BrowserRequest::internalError));
      } else {
        respond(exchange, BrowserRequest::pageHead(page.size()), page);
      }
      return;
    }
    case BrowserRequest::Kind::upgrade:
      break;
  }
  corvel::Bytes leftover(bytes.begin() + static_cast<std::ptrdiff_t>(headEnd + 4), bytes.end());
  exchange->buffer.clear();
  exchange->response = BrowserRequest::upgradeResponse(route.accept);
  std::weak_ptr<BrowserServer> weak = weak_from_this();
  exchange->socket->write(
      {boost::asio::buffer(exchange->response)},
      [weak, exchange, leftover = std::move(leftover)](const std::error_code& ec) mutable {
        auto self = weak.lock();
        if (ec || !self) {
          exchange->socket->close();
          return;
        }
        self->addClient(std::move(exchange->socket), std::move(leftover));
      });
}

void BrowserServer::respond(const std::shared_ptr<Exchange>& exchange, std::string head,
                            std::string_view body) {
  exchange->response = std::move(head);
  exchange->buffer.clear();
  std::vector<boost::asio::const_buffer> buffers{boost::asio::buffer(exchange->response)};
  if (!body.empty()) buffers.push_back(boost::asio::buffer(body.data(), body.size()));
  exchange->socket->write(std::move(buffers),
                          [exchange](const std::error_code&) { exchange->socket->close(); });
}

// ---- Viewers ----------------------------------------------------------------------------------------

void BrowserServer::addClient(std::shared_ptr<BrowserSocket> socket, corvel::Bytes leftover) {
  if (!listener_) {
    // Stopped while the upgrade was on its way.
    socket->close();
    return;
  }
  auto client = std::make_shared<BrowserClient>(std::move(socket));
  std::weak_ptr<BrowserServer> weak = weak_from_this();
  client->onInput = [weak](const corvel::protocol::InputEvent& event) {
    auto self = weak.lock();
    if (self && self->parts_.injector) self->parts_.injector->inject(event);
  };
  client->onClose = [weak](BrowserClient& c) {
    if (auto self = weak.lock()) self->removeClient(c);
  };
  client->onNeedsKeyframe = [weak] {
    auto self = weak.lock();
    if (auto pipeline = self ? self->pipeline() : nullptr) pipeline->refresh();
  };
  std::size_t count = 0;
  {
    std::lock_guard lock(mutex_);
    clients_.push_back(client);
    count = clients_.size();
  }
  log().info("browser viewer connected ({} total)", count);
  ensurePipeline();
  client->start(std::move(leftover));
}

void BrowserServer::removeClient(BrowserClient& client) {
  std::size_t remaining = 0;
  {
    std::lock_guard lock(mutex_);
    std::erase_if(clients_, [&](const auto& c) { return c.get() == &client; });
    remaining = clients_.size();
  }
  if (parts_.injector) parts_.injector->releaseAll();
  log().info("browser viewer disconnected");
  if (remaining == 0) stopPipelineIfIdle(false);
}

// ---- Pipeline ---------------------------------------------------------------------------------------

void BrowserServer::ensurePipeline() {
  std::shared_ptr<VideoPipeline> running;
  {
    std::lock_guard lock(mutex_);
    if (pipeline_) {
      running = pipeline_;
    } else if (!startingPipeline_) {
      startingPipeline_ = true;
      boost::asio::post(corvel::sharedPool(), [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->startPipeline();
      });
    }
  }
  // A newcomer starts at a keyframe of the current picture, even when nothing on screen moves.
  if (running) running->refresh();
}

void BrowserServer::startPipeline() {
  auto giveUp = [this] {
    std::lock_guard lock(mutex_);
    startingPipeline_ = false;
  };
  if (!parts_.displays || !parts_.video.capturer || !parts_.video.encoder) {
    giveUp();
    return;
  }
  auto displays = parts_.displays();
  if (!displays) {
    log().error("browser capture failed: {}", displays.error().message());
    giveUp();
    return;
  }
  if (displays->empty()) {
    giveUp();
    return;
  }
  auto chosen = std::find_if(displays->begin(), displays->end(), [](const auto& d) { return d.isMain; });
  const ScreenDisplay display = chosen != displays->end() ? *chosen : displays->front();

  auto pipeline = VideoPipeline::create(parts_.video.capturer(),
                                        parts_.video.encoder(static_cast<int>(bitrate), frameRate), bitrate);
  std::weak_ptr<BrowserServer> weak = weak_from_this();
  std::weak_ptr<VideoPipeline> weakPipeline = pipeline;
  pipeline->setOnEncoded([weak, weakPipeline](const corvel::media::VideoPacket& packet,
                                              const corvel::Bytes& wire) {
    auto self = weak.lock();
    auto p = weakPipeline.lock();
    if (self && p) self->fanOut(*p, packet.isKeyframe, wire);
  });
  pipeline->setOnStop([weak, weakPipeline](std::error_code error) {
    auto self = weak.lock();
    auto p = weakPipeline.lock();
    if (self && p) self->pipelineStopped(p, error);
  });
  pipeline->setBitrate(bitrate, frameRate);
  pipeline->setCodec(corvel::media::VideoCodec::h264, bitrate, false);
  if (parts_.injector) {
    parts_.injector->setDisplay(DisplayBounds{display.x, display.y, display.width, display.height});
  }
  if (auto error = pipeline->start(display.id, maxWidth, frameRate, false)) {
    log().error("browser capture failed: {}", error.message());
    pipeline->stop();
    giveUp();
    return;
  }
  pipeline->requestKeyframe();
  bool idle = false;
  {
    std::lock_guard lock(mutex_);
    startingPipeline_ = false;
    // Every viewer may have left (or the server stopped) while capture was starting.
    idle = clients_.empty();
    if (!idle) pipeline_ = pipeline;
  }
  if (idle) {
    pipeline->stop();
    return;
  }
  pipeline->requestKeyframe();
}

void BrowserServer::stopPipelineIfIdle(bool force) {
  std::shared_ptr<VideoPipeline> pipeline;
  {
    std::lock_guard lock(mutex_);
    if (!force && !clients_.empty()) return;
    pipeline = std::move(pipeline_);
    pipeline_.reset();
  }
  if (pipeline) boost::asio::post(corvel::sharedPool(), [pipeline] { pipeline->stop(); });
}

void BrowserServer::pipelineStopped(const std::shared_ptr<VideoPipeline>& pipeline,
                                    std::error_code error) {
  {
    std::lock_guard lock(mutex_);
    if (pipeline_ != pipeline) return;
    pipeline_.reset();
  }
  log().warn("browser capture stopped: {}", error.message());
  // Not from the capturer's own thread, which is the one calling this.
  boost::asio::post(corvel::sharedPool(), [pipeline] { pipeline->stop(); });
}

void BrowserServer::fanOut(VideoPipeline& pipeline, bool isKeyframe, const corvel::Bytes& wire) {
  std::vector<std::shared_ptr<BrowserClient>> clients;
  {
    std::lock_guard lock(mutex_);
    clients = clients_;
  }
  if (clients.empty()) return;
  // One copy of the packet, shared by every viewer's write.
  auto shared = std::make_shared<const corvel::Bytes>(wire);
  bool wantsKeyframe = false;
  for (auto& client : clients) {
    // A viewer with all its slots taken is not asked for: a stalled one would otherwise turn
    // every frame into a keyframe for everyone. Once its slots free up it waits with room, and
    // the next packet it refuses brings the keyframe.
    if (client->offerVideo(isKeyframe, shared) == BrowserClient::Offer::waitingForKeyframe) {
      wantsKeyframe = true;
    }
  }
  if (wantsKeyframe) pipeline.requestKeyframe();
}

}  // namespace ambrel
