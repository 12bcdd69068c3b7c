#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "Eventually.h"
#include "Platform/Dispatch/SerialQueue.h"

using namespace platform;

// The timer thread sleeps until its earliest timer and is woken only for an
// earlier one; hand-offs run on it, so they fire while every worker is busy.
TEST(TimerThread, AnEarlierTimerWakesItAndHandOffsRunWhileTheWorkersAreBusy) {
  auto rt = std::make_shared<ThreadRuntime>(1);
  std::promise<void> release;
  std::atomic<bool> workerBusy{false};
  rt->post([&, gate = release.get_future().share()] {
    workerBusy = true;
    gate.wait();
  });
  ASSERT_TRUE(qztest::eventually([&] { return workerBusy.load(); }));

  std::atomic<int> far{0}, handedOff{0}, cancelled{0};
  rt->postAt(rt->now() + seconds(3600), [&] { ++far; });
  const auto dropped = rt->postHandOffAt(rt->now() + milliseconds(1), [&] { ++cancelled; });
  EXPECT_TRUE(rt->cancel(dropped));
  rt->postHandOffAt(rt->now() + milliseconds(5), [&] { ++handedOff; });
  // Posted after the hour-long one and due first: it does not wait the hour.
  EXPECT_TRUE(qztest::eventually([&] { return handedOff.load() == 1; }, seconds(5)));

  // A queue's delayed job is handed to the queue by the timer thread and runs
  // once a worker is free.
  auto queue = SerialQueue::make("delayed", rt);
  std::atomic<bool> ran{false};
  queue->asyncAfter(milliseconds(1), [&] { ran = true; });
  release.set_value();
  EXPECT_TRUE(qztest::eventually([&] { return ran.load(); }, seconds(5)));
  EXPECT_EQ(cancelled.load(), 0);
  EXPECT_EQ(far.load(), 0);
}
