#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "Ambrel_Host/controller/RemoteClient.h"
#include "CorvelKit/base/Clock.h"

namespace ambrel {

class AccessSecrets;
struct HostContext;

// What ending a client does to its session-history entry.
enum class HistoryUpdate {
  keep,             // leave the history alone
  close,            // close the client's entry
  closeIfAdmitted,  // close it only if the client had been admitted
};

// How sessions end — stopped from this side, ended by the peer or the network, dropped for
// silence or idleness, or never begun (no hello) — and the one clean-up routine they all pass
// through. Also keeps the devices recently stopped here, and ends a support session when its
// last client leaves. Controller's executor only.
class SessionSupervision {
 public:
  // A new connection has this long in all to say hello (its TLS and secure handshake have a
  // deadline of their own, in the connection).
  static constexpr std::chrono::seconds helloTimeout{10};
  // Connections that haven't said hello yet: at most this many from one source (more are
  // refused), and this many in all (the oldest gives way to a newcomer).
  static constexpr std::size_t maxUnknownPerSource = 8;
  static constexpr std::size_t maxUnknown = 256;
  static constexpr std::chrono::seconds stopGrace{1};
  static constexpr std::chrono::seconds silenceLimit{20};
  static constexpr std::chrono::seconds interval{5};
  static constexpr std::chrono::seconds recentlyStoppedWindow{120};

  // `restartListener` keys the listener anew (a support session ended, a connection failed).
  SessionSupervision(HostContext& context, AccessSecrets& secrets,
                     std::function<void()> restartListener);

  // Whether a new connection from `source` may join: false when the source already holds its
  // share of connections that haven't said hello. When all shares together are taken, the
  // oldest such connection is dropped to make room.
  bool makeRoomFor(const std::string& source);
  // How many of `source`'s connections haven't said hello yet.
  std::size_t undecidedFrom(const std::string& source) const;
  // A new connection: dropped if it hasn't said hello within 10 seconds.
  void watchHello(const std::shared_ptr<RemoteClient>& client);
  void helloArrived(const RemoteClient& client);
  // The first admission starts the supervision loop (silence, idleness).
  void sessionStarted();

  // Ends a session from this side: the client is never admitted again, hears a bye with
  // `reason` now and is removed a second later.
  void stopClient(const std::shared_ptr<RemoteClient>& client, const std::string& reason);
  // stopClient() for every client; returns how many there were.
  int disconnectEveryone(const std::string& reason);
  // Removes a client and cleans up, once: later calls for the same client do nothing.
  void endClient(const std::shared_ptr<RemoteClient>& client, HistoryUpdate history);
  // Whether the device with this fingerprint was stopped here less than 120 seconds ago.
  bool recentlyStopped(const std::string& fingerprint) const;

  // Ends the support session: its code stops working, every connection keyed with it is
  // stopped ("The support session ended."), and the listener takes the access code again.
  void endSupport();

  // Quit: every client stopped with "Ambrel Host quit.", no more supervision.
  void shutdown();

  // One pass of the loop (tests drive it through the clock).
  void supervise();

  // Parts that keep something per client hear here when one ends, once, after it was removed.
  using EndHook = std::function<void(const RemoteClient&)>;
  void addEndHook(EndHook hook) { endHooks_.push_back(std::move(hook)); }

 private:
  void scheduleLoop();

  HostContext& context_;
  AccessSecrets& secrets_;
  const std::function<void()> restartListener_;
  bool shuttingDown_ = false;
  std::map<std::string, corvel::Clock::TimePoint> recentlyStopped_;
  std::unordered_map<corvel::UUID, std::unique_ptr<corvel::Timer>> helloWatchdogs_;
  std::unordered_map<corvel::UUID, std::unique_ptr<corvel::Timer>> stopTimers_;
  std::unique_ptr<corvel::Timer> loop_;
  std::vector<EndHook> endHooks_;
};

}  // namespace ambrel
