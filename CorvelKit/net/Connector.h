#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "CorvelKit/SecureChannel/SecureChannelError.h"
#include "CorvelKit/base/Clock.h"
#include "CorvelKit/base/Executors.h"
#include "CorvelKit/net/CorvelConnection.h"

namespace corvel::net {

// One way to reach a host.
struct ConnectCandidate {
  Endpoint endpoint;
  // Pins the attempt to that network interface.
  std::optional<std::string> interface;
  // A hole-punched QUIC path from this local UDP port (the one a STUN server saw), instead of TCP.
  std::optional<std::uint16_t> holePunchPort;

  // "host:port|interface" ("*" for any), "|quic" for a hole-punched path: a race starts each key
  // once.
  std::string key() const;
};

// How a race ended.
struct ConnectOutcome {
  enum class Kind { ready, failed, insecure, wrongCode };
  Kind kind = Kind::failed;
  // ready: the connection that won (real attempts only) and its candidate's key.
  std::shared_ptr<CorvelConnection> connection;
  std::string winner;
  // failed: the last attempt's error, or that nothing could be tried.
  std::string reason;
  // insecure: the host isn't the one expected.
  std::optional<secure::SecureChannelError> securityFailure;
};

// Races every way to reach a host: one candidate more at each stagger step, every started attempt
// kept running, the first that becomes ready wins and the others are cancelled. A wrong access
// code or an identity that isn't the expected one ends the race at once, whichever attempt finds
// it (the host was reached and refuses); plain network failures only count. The race fails early
// once every candidate was tried and has failed, else at the time-out.
//
// The candidates are asked again at each step, so ways that appear later (a hole-punched path
// that becomes ready) join the race. Everything runs on a strand of the given executor; the
// completion is called exactly once, there.
class Connector : public std::enable_shared_from_this<Connector> {
 public:
  // One started attempt: a real connection, or a fake in tests.
  class Attempt {
   public:
    using StateHandler = std::function<void(const ConnectionState&)>;
    virtual ~Attempt() = default;
    // Starts it; `state` hears its changes, from any thread, until it is cancelled or handed over.
    virtual void start(StateHandler state) = 0;
    // Ends it; no state reaches the race afterwards.
    virtual void cancel() = 0;
    // The winner: its later changes go to its owner instead of the race.
    virtual void handOver() {}
    virtual std::optional<secure::SecureChannelError> securityFailure() const = 0;
    virtual std::shared_ptr<CorvelConnection> connection() const { return nullptr; }
  };
  using MakeAttempt = std::function<std::shared_ptr<Attempt>(const ConnectCandidate&)>;
  using Candidates = std::function<std::vector<ConnectCandidate>()>;
  using Completion = std::function<void(ConnectOutcome)>;

  static constexpr const char* noPathReason = "No network path to the computer";
  // How long a hole-punched attempt waits for the host's router to open: the host punches when it
  // next looks for viewers, every half minute. A race with such a candidate lasts at least this.
  static constexpr std::chrono::milliseconds holePunchWait{40'000};

  // Attempts that are client connections with `accessCode`, each pinned to `expectedFingerprint`
  // when given. `handlers` are the winner's: its messages from the start, its state changes after
  // the race (the race reports `ready` itself).
  static MakeAttempt connections(std::string accessCode,
                                 std::optional<std::string> expectedFingerprint,
                                 CorvelConnection::Handlers handlers);

  // Starts a race. Rounds run every `stagger` until `timeout` (a single round when fewer than two
  // fit), on `clock`. Once every attempt started has failed the race ends, unless `moreToCome`
  // says a candidate may still join (a hole-punched path being prepared).
  static std::shared_ptr<Connector> race(Executor executor, std::shared_ptr<Clock> clock,
                                         Candidates candidates, MakeAttempt makeAttempt,
                                         std::chrono::milliseconds stagger,
                                         std::chrono::milliseconds timeout, Completion completion,
                                         std::function<bool()> moreToCome = {});

  // Ends the race unfinished: every attempt is cancelled and the completion is never called.
  void cancel();

  // The number of rounds a race of these timings has.
  static int rounds(std::chrono::milliseconds stagger, std::chrono::milliseconds timeout);

 private:
  Connector(Executor executor, std::shared_ptr<Clock> clock, Candidates candidates,
            MakeAttempt makeAttempt, Completion completion, std::function<bool()> moreToCome);
  void begin(std::chrono::milliseconds stagger, std::chrono::milliseconds timeout);
  void round();
  void changed(const std::shared_ptr<Attempt>& attempt, const std::string& key,
               const ConnectionState& state);
  void finish(ConnectOutcome outcome, const std::shared_ptr<Attempt>& winner);

  asio::strand<Executor> strand_;
  std::shared_ptr<Clock> clock_;
  Candidates candidates_;
  MakeAttempt makeAttempt_;
  Completion completion_;  // empty once the race is over
  std::function<bool()> moreToCome_;
  std::vector<std::unique_ptr<Timer>> timers_;
  std::vector<std::shared_ptr<Attempt>> attempts_;
  std::set<std::string> tried_;
  int started_ = 0;
  int failures_ = 0;
  std::string lastReason_ = noPathReason;
};

}  // namespace corvel::net
