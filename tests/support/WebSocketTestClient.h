#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "CorvelKit/base/Bytes.h"

namespace corvel::test {

// A small blocking HTTP and WebSocket client for tests and benchmarks, plain or over TLS (any
// certificate accepted). Every read waits at most the timeout it is given.
class WebSocketTestClient {
 public:
  struct Frame {
    std::uint8_t opcode = 0;
    Bytes payload;
  };

  // Connects to 127.0.0.1:`port`; nothing when that fails (or the TLS handshake does).
  static std::unique_ptr<WebSocketTestClient> connect(std::uint16_t port, bool tls,
                                                      int receiveBufferBytes = 0);
  ~WebSocketTestClient();
  WebSocketTestClient(const WebSocketTestClient&) = delete;
  WebSocketTestClient& operator=(const WebSocketTestClient&) = delete;

  bool sendRaw(std::string_view bytes);
  bool sendRaw(ByteView bytes);
  // A masked frame, as a browser sends it.
  bool sendFrame(std::uint8_t opcode, ByteView payload);
  bool sendText(std::string_view text);

  // The response head (status line and headers, without the blank line); the bytes after it stay
  // buffered for readFrame().
  std::optional<std::string> readHead(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Sends a GET of /ws with `query` and returns the response head.
  std::optional<std::string> upgrade(std::string_view query,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(5));
  std::optional<Frame> readFrame(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Everything until the server closes (or the timeout passes).
  std::string readToEnd(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Whether the server closed the connection within `timeout` (frames before that are dropped).
  bool waitForClose(std::chrono::milliseconds timeout = std::chrono::seconds(5));

 private:
  WebSocketTestClient();
  // Reads more bytes into buffer_; false on end, error or timeout.
  bool fill(std::chrono::steady_clock::time_point deadline);

  struct Impl;
  std::unique_ptr<Impl> impl_;
  Bytes buffer_;
};

}  // namespace corvel::test
