#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <vector>

#include "CorvelKit/base/Clock.h"
#include "CorvelKit/base/MainLoop.h"
#include "CorvelKit/base/ManualClock.h"
#include "CorvelKit/base/SerialQueue.h"

namespace corvel {
namespace {

using namespace std::chrono_literals;

TEST(ManualClock, FiresDueCallsInTimeOrderAndNeverCancelledOnes) {
  auto clock = std::make_shared<ManualClock>();
  asio::io_context io;
  std::vector<int> order;
  auto a = clock->schedule(io.get_executor(), 10s, [&] { order.push_back(10); });
  auto b = clock->schedule(io.get_executor(), 5s, [&] { order.push_back(5); });
  auto c = clock->schedule(io.get_executor(), 7s, [&] { order.push_back(7); });
  auto d = clock->schedule(io.get_executor(), 20s, [&] { order.push_back(20); });
  c->cancel();
  auto start = clock->now();

  clock->advance(9s);
  io.run();
  io.restart();
  EXPECT_EQ(order, (std::vector<int>{5}));
  clock->advance(1s);
  io.run();
  io.restart();
  EXPECT_EQ(order, (std::vector<int>{5, 10}));
  EXPECT_EQ(clock->now() - start, 10s);
  EXPECT_EQ(clock->pendingCount(), 1u);

  d.reset();  // dropping the handle cancels
  clock->advance(1h);
  io.run();
  EXPECT_EQ(order, (std::vector<int>{5, 10}));
}

TEST(ManualClock, CancelAfterComingDueStillPreventsTheCall) {
  auto clock = std::make_shared<ManualClock>();
  asio::io_context io;
  bool ran = false;
  auto t = clock->schedule(io.get_executor(), 1s, [&] { ran = true; });
  clock->advance(1s);  // posted, not run yet
  t->cancel();
  io.run();
  EXPECT_FALSE(ran);
}

TEST(SystemClock, RunsScheduledWorkOnTheGivenExecutor) {
  MainLoop loop;
  loop.start();
  std::promise<bool> onLoop;
  auto t = Clock::system()->schedule(loop.executor(), 1ms, [&] { onLoop.set_value(loop.isCurrent()); });
  EXPECT_TRUE(onLoop.get_future().get());
}

TEST(SerialQueue, RunsWorkOneAtATimeInOrder) {
  SerialQueue queue("test.queue");
  std::atomic<int> inside{0};
  std::vector<int> seen;
  std::promise<void> done;
  for (int i = 0; i < 200; ++i) {
    queue.post([&, i] {
      EXPECT_EQ(++inside, 1);
      EXPECT_TRUE(queue.isCurrent());
      seen.push_back(i);
      --inside;
      if (i == 199) done.set_value();
    });
  }
  done.get_future().wait();
  ASSERT_EQ(seen.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(seen[static_cast<std::size_t>(i)], i);
  EXPECT_FALSE(queue.isCurrent());
}

}  // namespace
}  // namespace corvel
