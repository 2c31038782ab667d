#include "tests/support/WebSocketTestClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include "Ambrel_Host/browser/WebSocketFrame.h"

namespace corvel::test {

struct WebSocketTestClient::Impl {
  int fd = -1;
  SSL_CTX* context = nullptr;
  SSL* ssl = nullptr;
  ~Impl() {
    if (ssl != nullptr) SSL_free(ssl);
    if (context != nullptr) SSL_CTX_free(context);
    if (fd >= 0) ::close(fd);
  }
  // >0 bytes, 0 end, <0 would block or error (errno-like decided by caller)
  long readSome(std::uint8_t* out, std::size_t size, bool& wouldBlock) {
    wouldBlock = false;
    if (ssl == nullptr) {
      auto n = ::recv(fd, out, size, MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) wouldBlock = true;
      return n;
    }
    const int n = SSL_read(ssl, out, static_cast<int>(std::min<std::size_t>(size, 1 << 20)));
    if (n > 0) return n;
    const int error = SSL_get_error(ssl, n);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
      wouldBlock = true;
      return -1;
    }
    return error == SSL_ERROR_ZERO_RETURN ? 0 : -1;
  }
};

WebSocketTestClient::WebSocketTestClient() : impl_(std::make_unique<Impl>()) {}
WebSocketTestClient::~WebSocketTestClient() = default;

std::unique_ptr<WebSocketTestClient> WebSocketTestClient::connect(std::uint16_t port, bool tls,
                                                                  int receiveBufferBytes) {
  std::unique_ptr<WebSocketTestClient> client(new WebSocketTestClient());
  auto& impl = *client->impl_;
  impl.fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (impl.fd < 0) return nullptr;
  if (receiveBufferBytes > 0) {
    ::setsockopt(impl.fd, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
  }
  int one = 1;
  ::setsockopt(impl.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(impl.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return nullptr;
  if (tls) {
    impl.context = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_verify(impl.context, SSL_VERIFY_NONE, nullptr);
    impl.ssl = SSL_new(impl.context);
    SSL_set_fd(impl.ssl, impl.fd);
    SSL_set_tlsext_host_name(impl.ssl, "localhost");
    if (SSL_connect(impl.ssl) != 1) return nullptr;
  }
  // Reads and writes wait in poll(), so that every wait has its timeout.
  ::fcntl(impl.fd, F_SETFL, ::fcntl(impl.fd, F_GETFL) | O_NONBLOCK);
  return client;
}

bool WebSocketTestClient::sendRaw(std::string_view bytes) { return sendRaw(asBytes(bytes)); }

bool WebSocketTestClient::sendRaw(ByteView bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    long n = 0;
    if (impl_->ssl != nullptr) {
      n = SSL_write(impl_->ssl, bytes.data() + sent, static_cast<int>(bytes.size() - sent));
    } else {
      n = ::send(impl_->fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    }
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    const bool again =
        impl_->ssl != nullptr
            ? SSL_get_error(impl_->ssl, static_cast<int>(n)) == SSL_ERROR_WANT_WRITE ||
                  SSL_get_error(impl_->ssl, static_cast<int>(n)) == SSL_ERROR_WANT_READ
            : (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
    if (!again) return false;
    pollfd p{impl_->fd, POLLOUT, 0};
    if (::poll(&p, 1, 5000) <= 0) return false;
  }
  return true;
}

bool WebSocketTestClient::sendFrame(std::uint8_t opcode, ByteView payload) {
  return sendRaw(ambrel::WebSocketFrame::encodeMasked(opcode, payload, {0x12, 0x34, 0x56, 0x78}));
}

bool WebSocketTestClient::sendText(std::string_view text) {
  return sendFrame(ambrel::WebSocketFrame::text, asBytes(text));
}

bool WebSocketTestClient::fill(std::chrono::steady_clock::time_point deadline) {
  std::array<std::uint8_t, 65536> chunk{};
  while (true) {
    bool wouldBlock = false;
    const long n = impl_->readSome(chunk.data(), chunk.size(), wouldBlock);
    if (n > 0) {
      buffer_.insert(buffer_.end(), chunk.begin(), chunk.begin() + n);
      return true;
    }
    if (!wouldBlock) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{impl_->fd, POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(std::min<long>(left.count(), 100)));
  }
}

std::optional<std::string> WebSocketTestClient::readHead(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    const auto text = asString(buffer_);
    const auto end = text.find("\r\n\r\n");
    if (end != std::string_view::npos) {
      std::string head(text.substr(0, end));
      buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(end + 4));
      return head;
    }
    if (!fill(deadline)) return std::nullopt;
  }
}

std::optional<std::string> WebSocketTestClient::upgrade(std::string_view query,
                                                        std::chrono::milliseconds timeout) {
  std::string request = "GET /ws";
  if (!query.empty()) request += "?" + std::string(query);
  request +=
      " HTTP/1.1\r\nHost: localhost\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
      "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
  if (!sendRaw(request)) return std::nullopt;
  return readHead(timeout);
}

std::optional<WebSocketTestClient::Frame> WebSocketTestClient::readFrame(
    std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    auto parsed = ambrel::WebSocketFrame::parse(buffer_, 64u << 20);
    if (parsed.status == ambrel::WebSocketFrame::Status::complete) {
      buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(parsed.size));
      return Frame{parsed.opcode, std::move(parsed.payload)};
    }
    if (parsed.status == ambrel::WebSocketFrame::Status::invalid) return std::nullopt;
    if (!fill(deadline)) return std::nullopt;
  }
}

std::string WebSocketTestClient::readToEnd(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (fill(deadline)) {
  }
  std::string out(asString(buffer_));
  buffer_.clear();
  return out;
}

bool WebSocketTestClient::waitForClose(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    buffer_.clear();
    std::array<std::uint8_t, 65536> chunk{};
    bool wouldBlock = false;
    const long n = impl_->readSome(chunk.data(), chunk.size(), wouldBlock);
    if (n > 0) continue;
    if (!wouldBlock) return true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{impl_->fd, POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(std::min<long>(left.count(), 100)));
  }
}

}  // namespace corvel::test
