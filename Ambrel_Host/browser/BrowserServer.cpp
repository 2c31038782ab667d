#include "Ambrel_Host/browser/BrowserServer.h"

#include <algorithm>
#include <map>
#include <mutex>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "Ambrel_Host/browser/BrowserClient.h"
#include "Ambrel_Host/browser/BrowserPage.h"
#include "Ambrel_Host/browser/BrowserRequest.h"
#include "Ambrel_Host/browser/BrowserSocket.h"
#include "Ambrel_Host/browser/BrowserVideo.h"
#include "Ambrel_Host/browser/HttpRequestHead.h"
#include "Ambrel_Host/browser/LocalAddresses.h"
#include "Ambrel_Host/input/InputInjector.h"
#include "Ambrel_Host/reach/HostListener.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/net/UnmappedAddress.h"
#include "CorvelKit/net/PeerSource.h"
#include "CorvelKit/security/AccessCode.h"

namespace ambrel {

namespace {
auto& log() { return corvel::Log::host("browser"); }
}  // namespace

// Connections before their upgrade, in all and by source; each Exchange counts itself in and out.
struct BrowserServer::PendingCount {
  std::mutex mutex;
  std::size_t total = 0;
  std::map<std::string, std::size_t> bySource;

  std::pair<std::size_t, std::size_t> counts(const std::string& source) {
    std::lock_guard lock(mutex);
    auto it = bySource.find(source);
    return {total, it == bySource.end() ? 0 : it->second};
  }
};

// One connection before its upgrade: the request head being read, then the response being sent.
struct BrowserServer::Exchange {
  Exchange(const corvel::Executor& executor, std::shared_ptr<PendingCount> count,
           std::string peerAddress)
      : deadline(executor),
        pending(std::move(count)),
        address(std::move(peerAddress)),
        source(corvel::net::PeerSource::of(address)) {
    std::lock_guard lock(pending->mutex);
    ++pending->total;
    ++pending->bySource[source];
  }
  ~Exchange() {
    std::lock_guard lock(pending->mutex);
    --pending->total;
    if (--pending->bySource[source] == 0) pending->bySource.erase(source);
  }

  boost::asio::steady_timer deadline;
  std::shared_ptr<PendingCount> pending;
  const std::string address;
  const std::string source;
  std::shared_ptr<BrowserSocket> socket;
  corvel::Bytes buffer;
  std::array<std::uint8_t, HttpRequestHead::readChunkBytes> chunk{};
  std::string response;
};

std::shared_ptr<BrowserServer> BrowserServer::create(Parts parts) {
  return std::shared_ptr<BrowserServer>(new BrowserServer(std::move(parts)));
}

namespace {
BrowserVideo::Parts videoParts(const BrowserServer::Parts& parts) {
  BrowserVideo::Parts video;
  video.video = parts.video;
  video.displays = parts.displays;
  // The page's pointer positions are fractions of the display it shows.
  video.onDisplay = [injector = std::weak_ptr<InputInjector>(parts.injector)](const ScreenDisplay& d) {
    if (auto i = injector.lock()) i->setDisplay(DisplayBounds{d.x, d.y, d.width, d.height});
  };
  return video;
}
}  // namespace

BrowserServer::BrowserServer(Parts parts)
    : parts_(std::move(parts)),
      video_(BrowserVideo::create(videoParts(parts_))),
      pending_(std::make_shared<PendingCount>()) {}

// The video goes with the server, stopping capture.
BrowserServer::~BrowserServer() {
  if (listener_) listener_->cancel();
  std::vector<std::shared_ptr<BrowserClient>> clients;
  {
    std::lock_guard lock(mutex_);
    clients.swap(clients_);
  }
  for (auto& c : clients) c->close();
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

std::shared_ptr<VideoPipeline> BrowserServer::pipeline() const { return video_->pipeline(); }

std::optional<std::string> BrowserServer::problem() const {
  std::lock_guard lock(mutex_);
  return problem_;
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

  // With an identity to serve, no certificate means no browser access: the access code never
  // crosses the network in the clear. (Without one, tests on loopback speak plain HTTP.)
  tls_.reset();
  if (parts_.identity) {
    auto identity = parts_.identity();
    tls_ = identity ? BrowserTlsContext::make(*identity) : nullptr;
    if (!tls_) {
      log().error("browser access stays off: no certificate could be made");
      {
        std::lock_guard lock(mutex_);
        problem_ = "No certificate could be made for browser access.";
      }
      reportState();
      return;
    }
  }
  {
    std::lock_guard lock(mutex_);
    usesTLS_ = tls_ != nullptr;
    problem_.reset();
  }

  auto listener = std::make_unique<HostListener>(queue_.executor(), parts_.port);
  std::weak_ptr<BrowserServer> weak = weak_from_this();
  const std::error_code error = listener->start(
      [weak](boost::asio::ip::tcp::socket socket) {
        if (auto self = weak.lock()) self->accepted(std::move(socket));
      },
      [weak](std::error_code failure) {
        log().error("browser server failed: {}", failure.message());
        auto self = weak.lock();
        if (!self) return;
        {
          std::lock_guard lock(self->mutex_);
          self->listening_ = false;
        }
        self->reportState();
      });
  if (error) {
    log().error("browser server could not start: {}", error.message());
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
  video_->stop();
  reportState();
}

void BrowserServer::reportState() {
  auto now = address();
  if (now == reported_) return;
  reported_ = now;
  if (onState_) onState_(now);
}

// ---- Requests ---------------------------------------------------------------------------------------

void BrowserServer::accepted(boost::asio::ip::tcp::socket socket) {
  boost::system::error_code ec;
  auto remote = socket.remote_endpoint(ec);
  std::string address = ec ? std::string("unknown") : corvel::net::unmapped(remote.address()).to_string();
  const auto [total, fromSource] = pending_->counts(corvel::net::PeerSource::of(address));
  if (total >= parts_.maxPendingRequests || fromSource >= parts_.maxPendingPerSource ||
      (parts_.isBlocked && parts_.isBlocked(address))) {
    socket.close(ec);
    return;
  }
  auto exchange = std::make_shared<Exchange>(queue_.executor(), pending_, std::move(address));
  exchange->socket = std::make_shared<BrowserSocket>(std::move(socket), tls_);
  // Ends a connection that is too slow to ask; goes with the exchange.
  exchange->deadline.expires_after(parts_.requestTimeout);
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
        if (parts_.wrongCode) parts_.wrongCode(exchange->address);
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
  std::size_t count = 0;
  {
    std::lock_guard lock(mutex_);
    clients_.push_back(client);
    count = clients_.size();
  }
  log().info("browser viewer connected ({} total)", count);
  video_->attach(client);
  client->start(std::move(leftover));
}

void BrowserServer::removeClient(BrowserClient& client) {
  {
    std::lock_guard lock(mutex_);
    std::erase_if(clients_, [&](const auto& c) { return c.get() == &client; });
  }
  if (parts_.injector) parts_.injector->releaseAll();
  log().info("browser viewer disconnected");
  // The last viewer's leaving stops capture.
  video_->detach(client.shared_from_this());
}

}  // namespace ambrel
