#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "Ambrel_Host/browser/BrowserIdentity.h"

namespace ambrel {

// A server-side TLS configuration made from the browser identity: TLS 1.2 or later.
class BrowserTlsContext {
 public:
  // Nothing when the certificate or key is refused.
  static std::shared_ptr<BrowserTlsContext> make(const TlsIdentity& identity);
  ~BrowserTlsContext();

  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  BrowserTlsContext();
  std::unique_ptr<Impl> impl_;
};

// One accepted browser connection, plain or TLS. Used on one strand: the socket's own executor,
// on which every completion runs. Callers keep the object alive (shared_ptr) while an operation
// is pending and keep the written buffers alive until the completion.
class BrowserSocket {
 public:
  using Completion = std::function<void(const std::error_code&)>;
  using ReadCompletion = std::function<void(const std::error_code&, std::size_t)>;

  // `tls` null: plain TCP.
  BrowserSocket(boost::asio::ip::tcp::socket socket, std::shared_ptr<BrowserTlsContext> tls);
  ~BrowserSocket();
  BrowserSocket(const BrowserSocket&) = delete;
  BrowserSocket& operator=(const BrowserSocket&) = delete;

  bool usesTLS() const { return tls_ != nullptr; }
  // The TLS server handshake; completes at once for plain TCP.
  void handshake(Completion done);
  // At least one byte, at most into.size(); end of stream is an error (eof).
  void readSome(std::span<std::uint8_t> into, ReadCompletion done);
  // All of `buffers`, in order.
  void write(std::vector<boost::asio::const_buffer> buffers, Completion done);
  // Cancels the connection: pending operations complete with an error. No TLS close alert.
  void close();
  bool isOpen() const;
  // The strand every completion runs on.
  boost::asio::any_io_executor executor() const;

 private:
  struct Stream;
  std::shared_ptr<BrowserTlsContext> tls_;
  std::unique_ptr<Stream> stream_;
};

}  // namespace ambrel
