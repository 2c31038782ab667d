#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <system_error>

#include <boost/asio/ip/udp.hpp>

#include "CorvelKit/base/Executors.h"
#include "CorvelKit/net/QuicStream.h"

struct ngtcp2_pkt_hd;

namespace corvel::net {

// A QUIC server on one UDP port, bound with address reuse so it may share the port a STUN
// discovery used. It accepts several connections on its one socket and hands each new one, before
// its handshake, to the accept handler together with the peer's address; the handler typically
// makes a server CorvelConnection of it. Datagrams that belong to no connection and start none are
// dropped, and so are new connections beyond `maxConnections`.
//
// All of it runs on the listener's own strand; start() and stop() may be called from anywhere.
// The accept handler is called on that strand and must not block.
class QuicListener : public std::enable_shared_from_this<QuicListener> {
 public:
  using udp = boost::asio::ip::udp;
  using AcceptHandler = std::function<void(std::shared_ptr<QuicStream>, udp::endpoint remote)>;

  static constexpr std::size_t maxConnections = 64;
  // With this many connections or more, a new client must first answer a Retry from the address
  // it claims (one round trip more), so forged addresses cannot fill the places.
  static constexpr std::size_t retryAbove = 8;

  // A listener keyed with the access code's key (derived here: slow the first time for a code).
  static std::shared_ptr<QuicListener> make(std::string_view accessCode, AcceptHandler onAccept,
                                            QuicStream::Options options = {},
                                            Executor executor = sharedPool().get_executor());
  ~QuicListener();
  QuicListener(const QuicListener&) = delete;
  QuicListener& operator=(const QuicListener&) = delete;

  // Binds 0.0.0.0:port (0: any) and starts receiving. Returns the bound port, or 0 with `error`.
  std::uint16_t start(std::uint16_t port, std::error_code& error);
  // Opens this side's router toward a viewer's public address: a few one-byte datagrams from the
  // listening socket (QuicStream::punchByte), so the viewer's packets to our public address are
  // let in as answers.
  void punch(const udp::endpoint& toward);
  static constexpr int punchDatagrams = 5;
  // Closes every connection and the socket; the accept handler is not called any more.
  void stop();

  std::uint16_t port() const { return port_; }
  // Connections alive now (for tests and status).
  std::size_t connectionCount() const;

 private:
  struct Impl;
  QuicListener(std::string_view accessCode, AcceptHandler onAccept, QuicStream::Options options,
               Executor executor);
  void receiveNext();
  void dispatchDatagram(std::size_t size);
  void sendRetry(const ngtcp2_pkt_hd& header);

  std::uint16_t port_ = 0;
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvel::net
