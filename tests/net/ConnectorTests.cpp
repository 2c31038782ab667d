#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <map>

#include "CorvelKit/base/ManualClock.h"
#include "CorvelKit/net/ConnectionError.h"
#include "CorvelKit/net/Connector.h"

namespace corvel::net {
namespace {

using namespace std::chrono_literals;
using Kind = ConnectOutcome::Kind;

// An attempt the test drives: it records when it started and was cancelled, and reports the
// states the test gives it.
struct FakeAttempt final : Connector::Attempt {
  void start(StateHandler handler) override { state = std::move(handler); }
  void cancel() override {
    cancelled = true;
    state = nullptr;
  }
  void handOver() override { handedOver = true; }
  std::optional<secure::SecureChannelError> securityFailure() const override { return security; }

  void report(ConnectionState::Kind kind, std::error_code error = {}, bool tls = false) {
    if (state) state(ConnectionState{kind, error, tls});
  }

  StateHandler state;
  bool cancelled = false;
  bool handedOver = false;
  std::optional<secure::SecureChannelError> security;
};

// A race on a manual clock, with every attempt it starts kept by candidate key.
struct Race {
  explicit Race(std::vector<ConnectCandidate> list, std::chrono::milliseconds stagger = 250ms,
                std::chrono::milliseconds timeout = 3s, std::function<bool()> moreToCome = {})
      : candidates(std::move(list)) {
    connector = Connector::race(
        io.get_executor(), clock, [this] { return candidates; },
        [this](const ConnectCandidate& candidate) {
          auto attempt = std::make_shared<FakeAttempt>();
          attempts[candidate.key()] = attempt;
          order.push_back({candidate.key(), elapsed});
          return attempt;
        },
        stagger, timeout,
        [this](ConnectOutcome result) {
          ++completions;
          outcome = std::move(result);
          endedAt = elapsed;
        },
        std::move(moreToCome));
    settle();
  }
  // Moves time on in small steps, running what came due.
  void advance(std::chrono::milliseconds by) {
    for (auto step = 0ms; step < by; step += 10ms) {
      clock->advance(10ms);
      elapsed += 10ms;
      settle();
    }
  }
  // Runs what is ready (an io_context that ran out of work must be restarted first).
  void settle() {
    io.restart();
    io.poll();
  }

  boost::asio::io_context io;
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  std::vector<ConnectCandidate> candidates;
  std::shared_ptr<Connector> connector;
  std::map<std::string, std::shared_ptr<FakeAttempt>> attempts;
  std::vector<std::pair<std::string, std::chrono::milliseconds>> order;
  std::chrono::milliseconds elapsed{0};
  std::optional<ConnectOutcome> outcome;
  std::chrono::milliseconds endedAt{-1};
  int completions = 0;
};

std::vector<ConnectCandidate> hosts(int count) {
  std::vector<ConnectCandidate> list;
  for (int i = 0; i < count; ++i) list.push_back({{"10.0.0." + std::to_string(i + 1), 5895}, {}, {}});
  return list;
}

TEST(Connector, RoundsFollowTheStaggerUntilTheTimeOut) {
  EXPECT_EQ(Connector::rounds(250ms, 3s), 12);
  EXPECT_EQ(Connector::rounds(250ms, 100ms), 1);
  EXPECT_EQ(Connector::rounds(250ms, 499ms), 1);
  EXPECT_EQ(Connector::rounds(250ms, 500ms), 2);

  // Twenty hosts, none answering: one starts at each of the twelve rounds, then the time-out.
  Race race(hosts(20));
  race.advance(3200ms);
  ASSERT_EQ(race.order.size(), 12u);
  for (std::size_t i = 0; i < race.order.size(); ++i) {
    EXPECT_EQ(race.order[i].second, 250ms * static_cast<int>(i)) << i;
  }
  ASSERT_TRUE(race.outcome);
  EXPECT_EQ(race.outcome->kind, Kind::failed);
  EXPECT_EQ(race.outcome->reason, Connector::noPathReason);
  EXPECT_EQ(race.endedAt, 3000ms);
  for (auto& [key, attempt] : race.attempts) EXPECT_TRUE(attempt->cancelled) << key;

  Race quick(hosts(3), 250ms, 100ms);
  quick.advance(500ms);
  EXPECT_EQ(quick.order.size(), 1u);
  EXPECT_EQ(quick.endedAt, 100ms);
  EXPECT_EQ(quick.completions, 1);
}

TEST(Connector, EachEndpointAndInterfaceStartsOnce) {
  Race race({{{"10.0.0.1", 5895}, "eth0", {}},
             {{"10.0.0.1", 5895}, "eth0", {}},
             {{"10.0.0.1", 5895}, "wlan0", {}},
             {{"10.0.0.1", 5895}, {}, {}},
             {{"10.0.0.1", 5895}, {}, {}},
             {{"10.0.0.1", 5895}, {}, 40000}});
  race.advance(3000ms);
  std::vector<std::string> keys;
  for (const auto& [key, at] : race.order) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"10.0.0.1:5895|eth0", "10.0.0.1:5895|wlan0",
                                            "10.0.0.1:5895|*", "10.0.0.1:5895|*|quic"}));
}

TEST(Connector, FailuresCountAndTheRaceEndsOnceAllHaveFailed) {
  Race race(hosts(3));
  race.advance(510ms);  // all three started, at 0, 250 and 500 ms
  ASSERT_EQ(race.attempts.size(), 3u);
  const std::error_code errors[] = {std::make_error_code(std::errc::connection_refused),
                                    std::make_error_code(std::errc::host_unreachable),
                                    std::make_error_code(std::errc::network_unreachable)};
  int i = 0;
  for (auto& [key, attempt] : race.attempts) attempt->report(ConnectionState::Kind::failed, errors[i++]);
  race.settle();
  EXPECT_FALSE(race.outcome) << "the count is looked at in the next round";
  race.advance(250ms);
  ASSERT_TRUE(race.outcome);
  EXPECT_EQ(race.outcome->kind, Kind::failed);
  EXPECT_EQ(race.outcome->reason, errors[2].message());
  EXPECT_EQ(race.endedAt, 750ms);
  race.advance(3000ms);
  EXPECT_EQ(race.completions, 1);
}

TEST(Connector, TheFirstReadyWinsAndTheOthersAreCancelled) {
  Race race(hosts(3));
  race.advance(510ms);
  auto first = race.attempts.at("10.0.0.1:5895|*");
  auto second = race.attempts.at("10.0.0.2:5895|*");
  auto third = race.attempts.at("10.0.0.3:5895|*");
  first->report(ConnectionState::Kind::failed, std::make_error_code(std::errc::timed_out));
  second->report(ConnectionState::Kind::ready);
  third->report(ConnectionState::Kind::ready);  // too late: the race is decided on the strand
  race.settle();
  ASSERT_TRUE(race.outcome);
  EXPECT_EQ(race.outcome->kind, Kind::ready);
  EXPECT_EQ(race.outcome->winner, "10.0.0.2:5895|*");
  EXPECT_TRUE(second->handedOver);
  EXPECT_FALSE(second->cancelled);
  EXPECT_TRUE(third->cancelled);
  race.advance(3000ms);
  EXPECT_EQ(race.completions, 1);
  EXPECT_EQ(race.order.size(), 3u) << "no round starts anything after the race";
}

TEST(Connector, AWrongCodeOrAnotherHostEndsTheRaceAtOnce) {
  {
    Race race(hosts(3));
    race.advance(260ms);
    race.attempts.at("10.0.0.2:5895|*")
        ->report(ConnectionState::Kind::failed, std::make_error_code(std::errc::protocol_error), true);
    race.settle();
    ASSERT_TRUE(race.outcome);
    EXPECT_EQ(race.outcome->kind, Kind::wrongCode);
    EXPECT_TRUE(race.attempts.at("10.0.0.1:5895|*")->cancelled);
  }
  {
    Race race(hosts(3));
    race.advance(10ms);
    auto attempt = race.attempts.at("10.0.0.1:5895|*");
    attempt->security = secure::SecureChannelError::identityChanged("aa", "bb");
    attempt->report(ConnectionState::Kind::failed, std::make_error_code(std::errc::permission_denied));
    race.settle();
    ASSERT_TRUE(race.outcome);
    EXPECT_EQ(race.outcome->kind, Kind::insecure);
    ASSERT_TRUE(race.outcome->securityFailure);
    EXPECT_EQ(race.outcome->securityFailure->got(), "bb");
  }
}

TEST(Connector, LateCandidatesJoinAPathInPreparationHoldsTheRaceAndAnEmptyListWaitsForTheTimeOut) {
  Race race({});
  race.advance(600ms);
  EXPECT_TRUE(race.order.empty());
  // A hole-punched path becomes ready: the next round starts it.
  race.candidates = hosts(1);
  race.advance(250ms);
  ASSERT_EQ(race.order.size(), 1u);
  EXPECT_EQ(race.order[0].second, 750ms);

  // The addresses all fail while the punched path is still being prepared: the race waits for it.
  bool preparing = true;
  Race punching(hosts(1), 250ms, 3s, [&] { return preparing; });
  punching.attempts.begin()->second->report(ConnectionState::Kind::failed,
                                            std::make_error_code(std::errc::network_unreachable));
  punching.advance(1000ms);
  EXPECT_FALSE(punching.outcome);
  punching.candidates.push_back({{"198.51.100.2", 40000}, {}, std::uint16_t{50000}});
  preparing = false;
  punching.advance(250ms);
  ASSERT_EQ(punching.order.size(), 2u);
  EXPECT_FALSE(punching.outcome);
  punching.attempts[punching.order[1].first]->report(ConnectionState::Kind::ready);
  punching.settle();
  ASSERT_TRUE(punching.outcome);
  EXPECT_EQ(punching.outcome->kind, Kind::ready);
  // Preparing that comes to nothing: the race ends at the next round.
  preparing = true;
  Race nothing(hosts(1), 250ms, 3s, [&] { return preparing; });
  nothing.attempts.begin()->second->report(ConnectionState::Kind::failed,
                                           std::make_error_code(std::errc::network_unreachable));
  nothing.advance(500ms);
  EXPECT_FALSE(nothing.outcome);
  preparing = false;
  nothing.advance(250ms);
  ASSERT_TRUE(nothing.outcome);
  EXPECT_EQ(nothing.outcome->kind, Kind::failed);
  EXPECT_EQ(nothing.endedAt, 750ms);

  Race empty({});
  empty.advance(3100ms);
  ASSERT_TRUE(empty.outcome);
  EXPECT_EQ(empty.outcome->reason, Connector::noPathReason);
  EXPECT_EQ(empty.endedAt, 3000ms);
}

}  // namespace
}  // namespace corvel::net
