#include "CorvelKit/net/Connector.h"

#include <algorithm>

namespace corvel::net {

namespace {

// A client connection as a race attempt. Its messages go to the owner's handler from the start
// (only the winner ever gets that far); its states to the race until the race hands it over.
class ConnectionAttempt final : public Connector::Attempt,
                                public std::enable_shared_from_this<ConnectionAttempt> {
 public:
  ConnectionAttempt(const ConnectCandidate& candidate, std::string_view accessCode,
                    std::optional<std::string> fingerprint, CorvelConnection::Handlers owner)
      : owner_(std::move(owner)),
        candidate_(candidate),
        accessCode_(accessCode),
        fingerprint_(std::move(fingerprint)) {}

  void start(StateHandler state) override {
    {
      std::lock_guard lock(mutex_);
      race_ = std::move(state);
    }
    CorvelConnection::Handlers handlers;
    handlers.message = owner_.message;
    handlers.viability = owner_.viability;
    handlers.state = [weak = weak_from_this()](const ConnectionState& changed) {
      auto self = weak.lock();
      if (!self) return;
      StateHandler deliver;
      {
        std::lock_guard lock(self->mutex_);
        deliver = self->race_ ? self->race_ : self->owner_.state;
      }
      if (deliver) deliver(changed);
    };
    CorvelConnection::ClientOptions options{.requiredInterface = candidate_.interface,
                                            .pinnedFingerprint = fingerprint_};
    if (candidate_.holePunchPort) {
      options.quic = true;
      options.quicLocalPort = *candidate_.holePunchPort;
      options.quicHandshakeTimeout = Connector::holePunchWait;
    }
    connection_ = CorvelConnection::client(candidate_.endpoint, accessCode_, std::move(handlers),
                                           std::move(options));
    connection_->start();
  }

  void cancel() override {
    {
      std::lock_guard lock(mutex_);
      race_ = nullptr;
      owner_.state = nullptr;
    }
    if (connection_) {
      connection_->detach();
      connection_->cancel();
    }
  }

  void handOver() override {
    std::lock_guard lock(mutex_);
    race_ = nullptr;
  }

  std::optional<secure::SecureChannelError> securityFailure() const override {
    return connection_ ? connection_->securityFailure() : std::nullopt;
  }
  std::shared_ptr<CorvelConnection> connection() const override { return connection_; }

 private:
  std::mutex mutex_;
  StateHandler race_;
  CorvelConnection::Handlers owner_;
  const ConnectCandidate candidate_;
  const std::string accessCode_;
  const std::optional<std::string> fingerprint_;
  std::shared_ptr<CorvelConnection> connection_;
};

}  // namespace

std::string ConnectCandidate::key() const {
  return endpoint.host + ":" + std::to_string(endpoint.port) + "|" + interface.value_or("*") +
         (holePunchPort ? "|quic" : "");
}

Connector::MakeAttempt Connector::connections(std::string accessCode,
                                              std::optional<std::string> expectedFingerprint,
                                              CorvelConnection::Handlers handlers) {
  return [accessCode = std::move(accessCode), expectedFingerprint = std::move(expectedFingerprint),
          handlers = std::move(handlers)](const ConnectCandidate& candidate) {
    return std::make_shared<ConnectionAttempt>(candidate, accessCode, expectedFingerprint, handlers);
  };
}

int Connector::rounds(std::chrono::milliseconds stagger, std::chrono::milliseconds timeout) {
  if (stagger.count() <= 0) return 1;
  const auto count = timeout.count() / stagger.count();
  return count < 2 ? 1 : static_cast<int>(count);
}

Connector::Connector(Executor executor, std::shared_ptr<Clock> clock, Candidates candidates,
                     MakeAttempt makeAttempt, Completion completion, std::function<bool()> moreToCome)
    : strand_(asio::make_strand(executor)),
      clock_(std::move(clock)),
      candidates_(std::move(candidates)),
      makeAttempt_(std::move(makeAttempt)),
      completion_(std::move(completion)),
      moreToCome_(std::move(moreToCome)) {}

std::shared_ptr<Connector> Connector::race(Executor executor, std::shared_ptr<Clock> clock,
                                           Candidates candidates, MakeAttempt makeAttempt,
                                           std::chrono::milliseconds stagger,
                                           std::chrono::milliseconds timeout,
                                           Completion completion, std::function<bool()> moreToCome) {
  std::shared_ptr<Connector> race(new Connector(std::move(executor), std::move(clock),
                                                std::move(candidates), std::move(makeAttempt),
                                                std::move(completion), std::move(moreToCome)));
  asio::dispatch(race->strand_, [race, stagger, timeout] { race->begin(stagger, timeout); });
  return race;
}

void Connector::begin(std::chrono::milliseconds stagger, std::chrono::milliseconds timeout) {
  // The timers hold the race only weakly: a race nobody holds any more ends with its owner.
  std::weak_ptr<Connector> weak = weak_from_this();
  const int count = rounds(stagger, timeout);
  for (int i = 1; i < count; ++i) {
    timers_.push_back(clock_->schedule(strand_, stagger * i, [weak] {
      if (auto self = weak.lock()) self->round();
    }));
  }
  timers_.push_back(clock_->schedule(strand_, timeout, [weak] {
    if (auto self = weak.lock()) {
      ConnectOutcome outcome;
      outcome.reason = self->lastReason_;
      self->finish(std::move(outcome), nullptr);
    }
  }));
  round();  // the first one now
}

void Connector::round() {
  if (!completion_) return;
  // Asked before the candidates: a candidate that comes in between is in the list.
  const bool moreToCome = moreToCome_ && moreToCome_();
  const auto candidates = candidates_ ? candidates_() : std::vector<ConnectCandidate>{};
  for (const auto& candidate : candidates) {
    auto key = candidate.key();
    if (!tried_.insert(key).second) continue;
    ++started_;
    auto attempt = makeAttempt_(candidate);
    attempts_.push_back(attempt);
    std::weak_ptr<Connector> weak = weak_from_this();
    std::weak_ptr<Attempt> weakAttempt = attempt;
    attempt->start([weak, weakAttempt, key, strand = strand_](const ConnectionState& state) {
      asio::post(strand, [weak, weakAttempt, key, state] {
        auto self = weak.lock();
        auto attempt = weakAttempt.lock();
        if (self && attempt) self->changed(attempt, key, state);
      });
    });
    return;  // one new candidate per round
  }
  if (started_ > 0 && failures_ >= started_ && !moreToCome) {
    ConnectOutcome outcome;
    outcome.reason = lastReason_;
    finish(std::move(outcome), nullptr);
  }
}

void Connector::changed(const std::shared_ptr<Attempt>& attempt, const std::string& key,
                        const ConnectionState& state) {
  if (!completion_) return;
  using Kind = ConnectionState::Kind;
  if (state.kind == Kind::ready) {
    ConnectOutcome outcome;
    outcome.kind = ConnectOutcome::Kind::ready;
    outcome.connection = attempt->connection();
    outcome.winner = key;
    return finish(std::move(outcome), attempt);
  }
  if (state.kind != Kind::failed) return;
  if (auto security = attempt->securityFailure()) {
    ConnectOutcome outcome;
    outcome.kind = ConnectOutcome::Kind::insecure;
    outcome.securityFailure = std::move(security);
    return finish(std::move(outcome), nullptr);
  }
  if (state.tlsFailure) {
    ConnectOutcome outcome;
    outcome.kind = ConnectOutcome::Kind::wrongCode;
    return finish(std::move(outcome), nullptr);
  }
  ++failures_;
  lastReason_ = state.error ? state.error.message() : std::string("connection failed");
  attempt->cancel();
}

void Connector::finish(ConnectOutcome outcome, const std::shared_ptr<Attempt>& winner) {
  if (!completion_) return;
  auto completion = std::move(completion_);
  completion_ = nullptr;
  timers_.clear();
  if (winner) winner->handOver();
  for (auto& attempt : attempts_) {
    if (attempt != winner) attempt->cancel();
  }
  attempts_.clear();
  completion(std::move(outcome));
}

void Connector::cancel() {
  asio::dispatch(strand_, [self = shared_from_this()] {
    self->completion_ = nullptr;
    self->timers_.clear();
    for (auto& attempt : self->attempts_) attempt->cancel();
    self->attempts_.clear();
  });
}

}  // namespace corvel::net
