#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Ambrel_Host/controller/ClientConnection.h"
#include "CorvelKit/base/JSONCoding.h"
#include "CorvelKit/net/CorvelConnection.h"

namespace ambrel::test {

// A client connection without a network: a test plays the peer (deliver(), fail(), hangUp()) and
// reads what the host sent. Events run on the caller's thread, standing in for the connection's
// queue.
class FakeClientConnection final : public ClientConnection {
 public:
  explicit FakeClientConnection(KeySource source = KeySource::accessCode,
                                std::optional<std::string> fingerprint = std::nullopt)
      : source_(source), fingerprint_(std::move(fingerprint)) {}

  // ClientConnection.
  void start(ConnectionEvents events) override;
  void send(corvel::protocol::MessageType type, corvel::ByteView payload,
            Completion completion) override;
  void cancel() override;
  void detach() override;
  KeySource keySource() const override { return source_; }
  std::optional<std::string> peerFingerprint() const override { return fingerprint_; }
  bool isSecure() const override { return secure; }
  bool failedSecurity(const corvel::net::ConnectionState& state) const override {
    return state.tlsFailure;
  }
  corvel::net::ConnectionRoute route() const override {
    return corvel::net::ConnectionRoute::localNetwork;
  }

  // The peer's side.
  void deliver(corvel::protocol::MessageType type, corvel::Bytes payload);
  template <class T>
  void deliverJSON(corvel::protocol::MessageType type, const T& value) {
    deliver(type, *corvel::JSONCoding::encode(value));
  }
  // The TLS step or the handshake failed (a wrong code), or the network went away.
  void fail(bool wrongCode);
  void hangUp();

  // What the host sent.
  std::vector<std::pair<corvel::protocol::MessageType, corvel::Bytes>> sent() const;
  int count(corvel::protocol::MessageType type) const;
  // The last message of that type, decoded.
  template <class T>
  std::optional<T> last(corvel::protocol::MessageType type) const {
    auto all = sent();
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
      if (it->first != type) continue;
      auto decoded = corvel::JSONCoding::decode<T>(it->second);
      if (decoded) return std::move(*decoded);
      return std::nullopt;
    }
    return std::nullopt;
  }
  // The reason of the last bye sent, if any.
  std::optional<std::string> byeReason() const;
  bool cancelled() const;

  // Whether TLS and the secure handshake are through; a test may hold them back.
  std::atomic<bool> secure{true};

 private:
  const KeySource source_;
  const std::optional<std::string> fingerprint_;
  mutable std::mutex mutex_;
  ConnectionEvents events_;
  std::vector<std::pair<corvel::protocol::MessageType, corvel::Bytes>> sent_;
  bool cancelled_ = false;
};

}  // namespace ambrel::test
