#include "CorvelKit/base/Clock.h"

#include <atomic>

#include <boost/asio/steady_timer.hpp>

namespace corvel {

namespace {

class AsioTimer final : public Timer {
 public:
  AsioTimer(Executor executor, Clock::Duration delay, std::function<void()> work)
      : state_(std::make_shared<State>(executor)) {
    state_->timer.expires_after(delay);
    state_->timer.async_wait(
        [state = state_, work = std::move(work)](const boost::system::error_code& ec) {
          if (!ec && !state->cancelled.load()) work();
        });
  }
  ~AsioTimer() override { cancel(); }

  void cancel() override {
    state_->cancelled = true;
    // The timer's own cancel is only safe on its executor; the flag is enough to stop the call.
    asio::post(state_->timer.get_executor(), [state = state_] { state->timer.cancel(); });
  }

 private:
  struct State {
    explicit State(Executor ex) : timer(std::move(ex)) {}
    asio::steady_timer timer;
    std::atomic<bool> cancelled{false};
  };
  std::shared_ptr<State> state_;
};

class SystemClock final : public Clock {
 public:
  TimePoint now() const override { return std::chrono::steady_clock::now(); }
  WallTime wallNow() const override { return std::chrono::system_clock::now(); }
  std::unique_ptr<Timer> schedule(Executor executor, Duration delay,
                                  std::function<void()> work) override {
    return std::make_unique<AsioTimer>(std::move(executor), delay, std::move(work));
  }
};

}  // namespace

std::shared_ptr<Clock> Clock::system() {
  static auto clock = std::make_shared<SystemClock>();
  return clock;
}

}  // namespace corvel
