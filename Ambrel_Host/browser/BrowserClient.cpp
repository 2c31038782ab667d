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
        if (auto event = BrowserInput::parse(corvel::asString(frame.payload)); event && onInput) {
          onInput(*event);
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
                         std::move(frame.payload)});
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

void BrowserClient::closeFromPeer() {
  markClosed();
  socket_->close();
  buffer_.clear();
  if (closeReported_) return;
  closeReported_ = true;
  if (auto handler = std::move(onClose)) handler(*this);
  onInput = nullptr;
  onNeedsKeyframe = nullptr;
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
    self->onNeedsKeyframe = nullptr;
  });
}

bool BrowserClient::isClosed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

int BrowserClient::inFlight() const {
  std::lock_guard lock(mutex_);
  return inFlight_;
}

BrowserClient::Offer BrowserClient::offerVideo(bool isKeyframe,
                                               const std::shared_ptr<const corvel::Bytes>& wire) {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return Offer::closed;
    if (inFlight_ >= maxInFlight) {
      needsKeyframe_ = true;
      return Offer::full;
    }
    if (needsKeyframe_ && !isKeyframe) return Offer::waitingForKeyframe;
    needsKeyframe_ = false;
    ++inFlight_;
  }
  boost::asio::post(socket_->executor(), [self = shared_from_this(), wire] {
    self->enqueue(Outgoing{WebSocketFrame::header(WebSocketFrame::binary, wire->size()), wire, {}});
  });
  return Offer::sent;
}

bool BrowserClient::videoSent() {
  std::lock_guard lock(mutex_);
  if (inFlight_ > 0) --inFlight_;
  return !closed_ && needsKeyframe_ && inFlight_ == maxInFlight - 1;
}

void BrowserClient::enqueue(Outgoing outgoing) {
  if (isClosed()) {
    if (outgoing.video) videoSent();
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
    if (done.video) {
      if (self->videoSent() && !ec && self->onNeedsKeyframe) self->onNeedsKeyframe();
    } else {
      --self->queuedControl_;
      self->queuedControlBytes_ -= done.control.size();
    }
    if (ec) {
      // What was still queued will never go out: give its slots back.
      for (auto& left : self->queue_) {
        if (left.video) self->videoSent();
      }
      self->queue_.clear();
      self->queuedControl_ = 0;
      self->queuedControlBytes_ = 0;
      self->writing_ = false;
      return;
    }
    self->writeNext();
  });
}

}  // namespace ambrel
