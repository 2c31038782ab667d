#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <system_error>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/udp.hpp>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/base/Executors.h"

namespace corvel::net {

// One QUIC connection (TLS 1.3 with the access key as pre-shared key, identity "corvel", cipher
// suite TLS_AES_128_GCM_SHA256, ALPN "corvel-hp") carrying one bidirectional stream of bytes.
//
// A client stream owns its UDP socket; a server stream shares the socket of the QuicListener that
// accepted it, which hands it the datagrams meant for it. Everything runs on the strand the
// stream was made with; the public members may be called from anywhere and post there. Their
// completions are posted to the completion executor (the stream's strand unless bound to
// another one).
//
// What the peer controls stays bounded: received stream data by the flow-control windows (the
// window grows only as the reader consumes), sent data kept for retransmission by the peer's
// window.
class QuicStream : public std::enable_shared_from_this<QuicStream> {
 public:
  using udp = boost::asio::ip::udp;
  using Done = std::function<void(std::error_code)>;
  using ReadDone = std::function<void(std::error_code, std::size_t)>;

  struct Options {
    // Nothing heard for this long ends the connection; a quiet but live peer is pinged well
    // within it.
    std::chrono::milliseconds idleTimeout{30'000};
    std::chrono::milliseconds handshakeTimeout{10'000};
  };

  static constexpr const char* alpn = "corvel-hp";
  // What a host sends toward a viewer's public address to open its router (a datagram of this one
  // byte, which is no QUIC packet). A client that gets one before anything else from the host
  // sends its unanswered datagrams again at once.
  static constexpr std::uint8_t punchByte = 0x09;
  // Flow-control windows we grant the peer.
  static constexpr std::uint64_t streamWindow = 4u << 20;
  static constexpr std::uint64_t connectionWindow = 8u << 20;

  // A client connection to `remote` from local UDP port `localPort` (0: any), bound with address
  // reuse so that it may share the port a STUN discovery used. Fails at once only when the socket
  // cannot be made.
  static std::shared_ptr<QuicStream> client(const asio::strand<Executor>& strand,
                                            const udp::endpoint& remote, std::uint16_t localPort,
                                            ByteView accessKey, Options options,
                                            std::error_code& error);
  ~QuicStream();
  QuicStream(const QuicStream&) = delete;
  QuicStream& operator=(const QuicStream&) = delete;

  // Where completions go from now on; call before the first operation.
  void bindCompletions(Executor executor);

  // Completes once the QUIC handshake is through and the stream can carry bytes; with
  // QuicErrc::tlsFailure when the peer holds another key.
  void handshake(Done done);
  // Copies up to the buffer's size of received bytes; (no error, 0) never happens: the end of the
  // peer's stream, or its orderly close, is QuicErrc::closed. One read at a time.
  void readSome(boost::asio::mutable_buffer buffer, ReadDone done);
  // Queues the chunks for sending; completes when all of them are handed to QUIC (kept until the
  // peer acknowledges them). One write at a time.
  void write(std::vector<Bytes> chunks, ReadDone done);
  // Ends the connection with an orderly close; waiting operations complete with aborted.
  void close();

  udp::endpoint remoteEndpoint() const { return remote_; }
  udp::endpoint localEndpoint() const { return local_; }

  // Whether an error means the TLS handshake failed (a wrong key).
  static bool isTlsFailure(const std::error_code& error);

 private:
  friend class QuicListener;
  struct Impl;
  QuicStream(const asio::strand<Executor>& strand, std::shared_ptr<udp::socket> socket,
             udp::endpoint local, udp::endpoint remote);

  // Server side, for the listener (on its strand): a stream for the client whose Initial packet
  // this is, or nullptr when it is no acceptable Initial. `idPrefix` starts every connection ID
  // this side issues, so that the listener can route short-header packets. `retriedFrom` is the
  // client's first destination ID when it came back from the listener's Retry with a good token.
  static std::shared_ptr<QuicStream> accept(const asio::strand<Executor>& strand,
                                            std::shared_ptr<udp::socket> socket,
                                            const udp::endpoint& local, const udp::endpoint& remote,
                                            ByteView datagram, ByteView accessKey,
                                            ByteView idPrefix, Options options,
                                            ByteView retriedFrom = {});
  // A datagram for this connection, on the strand.
  void receive(ByteView datagram, const udp::endpoint& from);
  // Called on the strand once the connection is over, so the listener may forget it.
  void onFinished(std::function<void()> finished);
  bool finished() const;
  // Whether it ended because TLS failed (the peer holds another key).
  bool failedTls() const;
  // Whether it has sent anything: a client's first packet that this side could not even read
  // gets no answer.
  bool answered() const;
  // Ends it without a word to the peer.
  void drop();

  void startReceiving();
  void flush();
  void armTimer();
  void onTimer();
  void fail(std::error_code error, bool sendClose);
  void finish(std::error_code error);
  void deliverRead();
  void deliverWrites();
  void deliverHandshake();

  asio::strand<Executor> strand_;
  udp::endpoint local_;
  udp::endpoint remote_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvel::net
