#include "Ambrel_Host/browser/BrowserClient.h"

#include <boost/asio/post.hpp>

#include "Ambrel_Host/browser/BrowserInput.h"
#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {
auto& log() { return corvel::Log::host("browser"); }
}  // namespace

BrowserClient::BrowserClient(std::shared_ptr<BrowserSocket> socket) : socket_(std::move(socket)) {}

BrowserClient::~BrowserClient() { socket_->close(); }

void BrowserClient::start(corvel::Bytes leftover) {
  if (!leftover.empty()) consume(leftover);
  if (!isClosed()) readNext();
}

void BrowserClient::readNext() {
  socket_->readSome(chunk_, [self = shared_from_this()](const std::error_code& ec, std::size_t n) {
    if (n > 0 && !self->isClosed()) self->consume(corvel::ByteView(self->chunk_.data(), n));
    if (self->isClosed()) return;
    if (!ec) {
      self->readNext();
      return;
    }
    self->closeFromPeer();
  });
}

void BrowserClient::consume(corvel::ByteView data) {
  corvel::append(buffer_, data);
  std::size_t offset = 0;
  while (!isClosed()) {
    auto frame = WebSocketFrame::parse(corvel::ByteView(buffer_).subspan(offset));
    if (frame.status == WebSocketFrame::Status::needMore) break;
    if (frame.status == WebSocketFrame::Status::invalid) {
      log().warn("browser viewer sent an oversized frame; closing it");
      closeFromPeer();
      return;
    }
    offset += frame.size;
    switch (frame.opcode) {
      case WebSocketFrame::text:
        if (auto message = BrowserInput::decode(corvel::asString(frame.payload))) {
          if (message->t == "decoded") {
            decoded(message->count.value_or(0));
          } else if (auto event = BrowserInput::toInputEvent(*message); event && onInput) {
            onInput(*event);
          }
        }
        break;
      case WebSocketFrame::ping:
        if (queuedControl_ >= maxQueuedControlFrames ||
            queuedControlBytes_ + frame.payload.size() > maxQueuedControlBytes) {
          log().warn("browser viewer does not read its pongs; closing it");
          closeFromPeer();
          return;
        }
        enqueue(Outgoing{WebSocketFrame::header(WebSocketFrame::pong, frame.payload.size()), nullptr,
                         std::move(frame.payload), {}});
        break;
      case WebSocketFrame::close:
        closeFromPeer();
        return;
      default:
        break;  // continuation, binary, pong and reserved opcodes are ignored
    }
  }
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(offset));
}

bool BrowserClient::markClosed() {
  std::lock_guard lock(mutex_);
  if (closed_) return false;
  closed_ = true;
  return true;
}

void BrowserClient::decoded(std::uint64_t count) {
  {
    std::lock_guard lock(mutex_);
    pacedByPage_ = true;
  }
  // More than was written (messages from before the page began to pace) frees what there is.
  for (; count > 0 && !awaitingDecode_.empty(); --count) {
    auto sent = std::move(awaitingDecode_.front());
    awaitingDecode_.pop_front();
    if (sent) sent();
  }
}

void BrowserClient::releaseAwaitingDecode() {
  auto left = std::move(awaitingDecode_);
  awaitingDecode_.clear();
  for (auto& sent : left) {
    if (sent) sent();
  }
}

void BrowserClient::closeFromPeer() {
  markClosed();
  socket_->close();
  buffer_.clear();
  releaseAwaitingDecode();
  if (closeReported_) return;
  closeReported_ = true;
  if (auto handler = std::move(onClose)) handler(*this);
  onInput = nullptr;
}

void BrowserClient::close() {
  if (!markClosed()) return;
  // The socket belongs to its strand: it is cancelled there, and the report of the end, not
  // wanted any more, is dropped there too.
  boost::asio::post(socket_->executor(), [self = shared_from_this()] {
    self->socket_->close();
    self->closeReported_ = true;
    self->onClose = nullptr;
    self->onInput = nullptr;
    self->releaseAwaitingDecode();
  });
}

bool BrowserClient::isClosed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

int BrowserClient::inFlight() const {
  std::lock_guard lock(mutex_);
  return flow_.inFlight;
}

void BrowserClient::watch(std::optional<std::uint32_t> displayID) {
  std::lock_guard lock(mutex_);
  displayID_ = displayID;
}

StreamViewer::Description BrowserClient::describe() const {
  std::lock_guard lock(mutex_);
  Description description;
  description.watching = displayID_.has_value() && !closed_;
  description.displayID = displayID_.value_or(0);
  // The page decodes H.264 only, in standard range.
  description.supportsHEVC = false;
  description.supportsHDR = false;
  return description;
}

void BrowserClient::withVideoFlow(const std::function<void(VideoFlow&)>& change) {
  std::lock_guard lock(mutex_);
  flow_.isViewer = !closed_ && !writeFailed_;
  flow_.maxInFlight = maxInFlight;
  flow_.pacing = pacedByPage_ ? VideoPacing::holdsBack : VideoPacing::dropsBehind;
  change(flow_);
}

void BrowserClient::sendVideo(corvel::ByteView wire, std::function<void()> sent) {
  sendSharedVideo(std::make_shared<const corvel::Bytes>(wire.begin(), wire.end()), std::move(sent));
}

void BrowserClient::sendSharedVideo(std::shared_ptr<const corvel::Bytes> wire,
                                    std::function<void()> sent) {
  boost::asio::post(socket_->executor(), [self = shared_from_this(), wire = std::move(wire),
                                          sent = std::move(sent)]() mutable {
    const auto header = WebSocketFrame::header(WebSocketFrame::binary, wire->size());
    self->enqueue(Outgoing{header, std::move(wire), {}, std::move(sent)});
  });
}

void BrowserClient::enqueue(Outgoing outgoing) {
  if (isClosed()) {
    if (outgoing.sent) outgoing.sent();
    return;
  }
  if (!outgoing.video) {
    ++queuedControl_;
    queuedControlBytes_ += outgoing.control.size();
  }
  queue_.push_back(std::move(outgoing));
  if (!writing_) writeNext();
}

void BrowserClient::writeNext() {
  if (queue_.empty()) {
    writing_ = false;
    return;
  }
  writing_ = true;
  const Outgoing& next = queue_.front();
  const corvel::ByteView payload = next.video ? corvel::ByteView(*next.video) : corvel::ByteView(next.control);
  std::vector<boost::asio::const_buffer> buffers{
      boost::asio::buffer(next.header.bytes.data(), next.header.size),
      boost::asio::buffer(payload.data(), payload.size())};
  socket_->write(std::move(buffers), [self = shared_from_this()](const std::error_code& ec) {
    Outgoing done = std::move(self->queue_.front());
    self->queue_.pop_front();
    if (ec) {
      // Broken: no more video is offered, and no keyframe is asked for on its behalf.
      std::lock_guard lock(self->mutex_);
      self->writeFailed_ = true;
    }
    if (done.video) {
      const bool paced = [&] {
        std::lock_guard lock(self->mutex_);
        return self->pacedByPage_ && !self->closed_ && !ec;
      }();
      if (paced) {
        self->awaitingDecode_.push_back(std::move(done.sent));
      } else if (done.sent) {
        done.sent();
      }
    } else {
      --self->queuedControl_;
      self->queuedControlBytes_ -= done.control.size();
    }
    if (ec) {
      // What was still queued will never go out, nor be decoded: give its slots back.
      self->releaseAwaitingDecode();
      auto left = std::move(self->queue_);
      self->queue_.clear();
      for (auto& outgoing : left) {
        if (outgoing.sent) outgoing.sent();
      }
      self->queuedControl_ = 0;
      self->queuedControlBytes_ = 0;
      self->writing_ = false;
      return;
    }
    self->writeNext();
  });
}

}  // namespace ambrel
