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

}  // namespace
