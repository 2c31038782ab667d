#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

#include "Ambrel_Host/browser/BrowserIdentity.h"
#include "Ambrel_Host/capture/DisplayStreams.h"
#include "Ambrel_Host/capture/ScreenDisplay.h"
#include "Ambrel_Host/browser/BrowserAccess.h"
#include "CorvelKit/base/Expected.h"
#include "CorvelKit/base/SerialQueue.h"

namespace ambrel {

class BrowserClient;
class BrowserSocket;
class BrowserVideo;
class BrowserTlsContext;
class HostListener;
class InputInjector;
class VideoPipeline;

// The browser viewer's server on TCP port 5896: HTTP/1.1 over TLS (plain when there is no
// certificate), the viewer page at "/" and "/index.html", and a WebSocket at "/ws?code=…" that
// streams the host's main display and takes the page's input.
//
// All viewers watch one pipeline of the server's own display streams (BrowserVideo), started by
// the first viewer and stopped after the last; each viewer has at most 4 video frames in flight
// and waits for a keyframe after a drop, so a slow browser never holds up the others. Input goes
// to an injector of the server's own, released whenever a viewer leaves.
//
// Threads: the listener and every connection run on the server's queue ("corvel.browser");
// start() and stop() post there. Video runs on BrowserVideo's queue and the pipeline's thread,
// which send straight to the viewers. `mutex_` guards the fields marked so; it is never held
// across a send or a callback.
class BrowserServer final : public BrowserAccess, public std::enable_shared_from_this<BrowserServer> {
 public:
  static constexpr std::uint16_t defaultPort = 5896;

  struct Parts {
    // The TLS identity; returning nothing keeps the server off (see problem()). Empty: plain
    // HTTP, for tests on loopback.
    std::function<std::optional<TlsIdentity>()> identity;
    // Capturer and encoder of the shared pipeline.
    DisplayStreams::Parts video;
    // The displays to pick the captured one from (the main one, else the first).
    std::function<corvel::Expected<std::vector<ScreenDisplay>, std::error_code>()> displays;
    // The server's own injector.
    std::shared_ptr<InputInjector> injector;
    std::uint16_t port = defaultPort;
    // Connections not yet upgraded: beyond this many at once, new ones are closed at once; each
    // has this long for its TLS handshake, its request and the answer.
    std::size_t maxPendingRequests = 128;
    std::size_t maxPendingPerSource = 4;  // one address (IPv6: its /64) may hold this many
    std::chrono::milliseconds requestTimeout = std::chrono::seconds(15);
    // The host's wrong-code guard, shared with the native port: a blocked address is refused at
    // once, and a wrong or missing code on /ws counts against it. Called on the server's queue.
    std::function<bool(const std::string& address)> isBlocked;
    std::function<void(const std::string& address)> wrongCode;
  };

  static std::shared_ptr<BrowserServer> create(Parts parts);
  ~BrowserServer() override;
  BrowserServer(const BrowserServer&) = delete;
  BrowserServer& operator=(const BrowserServer&) = delete;

  // (Re)starts the listener with `accessCode`; viewers already connected stay.
  void start(const std::string& accessCode) override;
  // Stops the listener, closes every viewer and stops capture.
  void stop() override;
  // "https://<first local IPv4 address>:5896" ("http" without TLS) while listening.
  std::optional<std::string> address() const override;
  // Why the server isn't listening although it was started (no certificate).
  std::optional<std::string> problem() const override;

  // Called on the server's queue with the address once the listener is up, and with nothing once
  // it is down (stopped or failed); only when that changes.
  void setStateHandler(std::function<void(const std::optional<std::string>& address)> handler);

  bool usesTLS() const;
  std::size_t clientCount() const;
  // The running pipeline, if any (for tests).
  std::shared_ptr<VideoPipeline> pipeline() const;

 private:
  struct Exchange;
  explicit BrowserServer(Parts parts);

  // On the queue.
  void startListening(const std::string& accessCode);
  void stopListening();
  void accepted(boost::asio::ip::tcp::socket socket);
  void readHead(const std::shared_ptr<Exchange>& exchange);
  void handleHead(const std::shared_ptr<Exchange>& exchange, std::size_t headEnd);
  void respond(const std::shared_ptr<Exchange>& exchange, std::string head, std::string_view body = {});
  void addClient(std::shared_ptr<BrowserSocket> socket, corvel::Bytes leftover);
  void removeClient(BrowserClient& client);
  void reportState();

  const Parts parts_;
  const std::shared_ptr<BrowserVideo> video_;
  corvel::SerialQueue queue_{"corvel.browser"};

  // Queue only.
  std::unique_ptr<HostListener> listener_;
  std::shared_ptr<BrowserTlsContext> tls_;
  std::function<void(const std::optional<std::string>&)> onState_;
  std::optional<std::string> reported_;  // what onState_ heard last
  // Connections before their upgrade; each one's Exchange counts itself out when it ends.
  struct PendingCount;
  const std::shared_ptr<PendingCount> pending_;

  mutable std::mutex mutex_;  // guards the fields below
  std::string normalizedCode_;
  std::vector<std::shared_ptr<BrowserClient>> clients_;
  bool usesTLS_ = true;
  bool listening_ = false;
  std::optional<std::string> problem_;
};

}  // namespace ambrel
