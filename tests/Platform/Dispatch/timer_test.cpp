#include <gtest/gtest.h>

#include <vector>

#include "Platform/Dispatch/RepeatingTimer.h"
#include "Platform/Dispatch/VirtualRuntime.h"

using namespace platform;

namespace {

struct Owner {};

TEST(RepeatingTimer, FiresAtFirstDelayThenOnTheIntervalGridUntilCancelledOrDestroyed) {
  auto rt = VirtualRuntime::make(0);
  auto q = SerialQueue::make("t", rt);
  std::vector<Nanos> fires;
  auto timer = RepeatingTimer::start(q, milliseconds(40), milliseconds(20), [&] { fires.push_back(rt->now()); });
  rt->advance(milliseconds(39));
  EXPECT_TRUE(fires.empty());
  rt->advance(milliseconds(41));
  EXPECT_EQ(fires, (std::vector<Nanos>{milliseconds(40), milliseconds(60), milliseconds(80)}));
  timer->cancel();
  int dropped = 0;
  {
    auto scoped = RepeatingTimer::start(q, milliseconds(5), milliseconds(5), [&] { ++dropped; });
    rt->advance(milliseconds(5));
  }
  rt->advance(milliseconds(100));
  EXPECT_EQ(fires.size(), 3u);
  EXPECT_EQ(dropped, 1) << "destroying the timer cancels it";
  EXPECT_EQ(rt->pendingTimers(), 0u);
}

TEST(RepeatingTimer, WeakHandlerStopsOnceOwnerIsGone) {
  auto rt = VirtualRuntime::make(0);
  auto q = SerialQueue::make("t", rt);
  auto owner = std::make_shared<Owner>();
  std::weak_ptr<Owner> weak = owner;
  int calls = 0;
  auto timer = RepeatingTimer::start(q, milliseconds(10), milliseconds(10), weakHandler(owner, [&](Owner&) { ++calls; }));
  rt->advance(milliseconds(30));
  EXPECT_EQ(calls, 3);
  owner.reset();
  EXPECT_TRUE(weak.expired()) << "the timer must not keep its owner alive";
  rt->advance(milliseconds(50));
  EXPECT_EQ(calls, 3);
}

TEST(SerialQueue, SyncOnItselfIsRefusedInsteadOfDeadlocking) {
  auto rt = VirtualRuntime::make(0);
  auto q = SerialQueue::make("self", rt);
  bool threw = false;
  q->async([&] {
    try {
      q->sync([] {});
    } catch (const std::logic_error&) {
      threw = true;
    }
  });
  rt->runUntilIdle();
  EXPECT_TRUE(threw);
}

// Ticks that fall due while the queue is busy are merged into one call: a
// stalled queue does not collect one job per tick and then run them in a burst.
TEST(RepeatingTimer, TicksMissedWhileTheQueueIsBusyCoalesceIntoOneCall) {
  auto rt = VirtualRuntime::make(0);
  auto q = SerialQueue::make("t", rt);
  std::vector<Nanos> fires;
  auto timer = RepeatingTimer::start(q, milliseconds(10), milliseconds(10), [&] { fires.push_back(rt->now()); });
  rt->advance(milliseconds(10));
  ASSERT_EQ(fires.size(), 1u);
  // A job that holds the queue for ten intervals of (virtual) time.
  q->async([&] { rt->advance(milliseconds(100)); });
  rt->runUntilIdle();
  EXPECT_EQ(fires.size(), 2u) << "the ten ticks missed during the stall run once";
  rt->advance(milliseconds(10));
  EXPECT_EQ(fires.size(), 3u) << "then the grid goes on";
  EXPECT_EQ(fires.back(), milliseconds(120));
}

}  // namespace
