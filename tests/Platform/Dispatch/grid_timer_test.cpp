#include "Platform/Dispatch/GridTimer.h"

#include <gtest/gtest.h>

#include <vector>

#include "Platform/Dispatch/VirtualRuntime.h"

using namespace platform;

namespace {

class GridTimerTest : public ::testing::Test {
 protected:
  // Instants 40, 60, 80, ... ms.
  std::shared_ptr<VirtualRuntime> rt = VirtualRuntime::make(0);
  std::shared_ptr<SerialQueue> q = SerialQueue::make("grid", rt);
  std::vector<Nanos> fires;
  std::unique_ptr<GridTimer> timer =
      std::make_unique<GridTimer>(q, milliseconds(40), milliseconds(20), [this] { fires.push_back(rt->now()); });
  void arm(Nanos deadline) {
    q->async([this, deadline] { timer->armBy(deadline); });
    rt->runUntilIdle();
  }
};

TEST_F(GridTimerTest, ArmsTheFirstInstantAtOrAfterTheDeadlineAndKeepsAnEarlierOne) {
  arm(0);
  EXPECT_EQ(timer->armedAt(), milliseconds(40)) << "nothing before the origin";
  arm(milliseconds(75));
  EXPECT_EQ(timer->armedAt(), milliseconds(40)) << "a later deadline keeps the earlier instant";
  timer->cancel();
  timer = std::make_unique<GridTimer>(q, milliseconds(40), milliseconds(20), [this] { fires.push_back(rt->now()); });
  arm(milliseconds(75));
  EXPECT_EQ(timer->armedAt(), milliseconds(80));
  arm(milliseconds(60));
  EXPECT_EQ(timer->armedAt(), milliseconds(60)) << "an earlier deadline moves it forward";
  EXPECT_EQ(rt->pendingTimers(), 1u);
  rt->advance(milliseconds(200));
  EXPECT_EQ(fires, std::vector<Nanos>{milliseconds(60)});
  EXPECT_FALSE(timer->armedAt());

  // A deadline already passed is the next instant after the clock and after the last call.
  rt->advanceTo(milliseconds(200));
  arm(milliseconds(10));
  EXPECT_EQ(timer->armedAt(), milliseconds(200)) << "200 ms is an instant that has not run";
  rt->advance(0);
  arm(milliseconds(200));
  EXPECT_EQ(timer->armedAt(), milliseconds(220));
  timer.reset();
  rt->advance(milliseconds(100));
  EXPECT_EQ(fires, (std::vector<Nanos>{milliseconds(60), milliseconds(200)}));
  EXPECT_EQ(rt->pendingTimers(), 0u) << "destruction cancels";
}

// The use it is made for: a deadline each event pushes back, looked at again
// only when its armed instant comes.
TEST_F(GridTimerTest, ADeadlinePushedBackByEveryEventCostsOneCallPerLapse) {
  Nanos lastEvent = 0;
  const Nanos lapse = milliseconds(100);
  int calls = 0;
  std::vector<Nanos> lapsed;
  timer = std::make_unique<GridTimer>(q, milliseconds(40), milliseconds(20), [&] {
    ++calls;
    if (rt->now() - lastEvent > lapse) lapsed.push_back(rt->now());
    timer->armBy(lastEvent + lapse + 1);
  });
  for (Nanos t = 0; t < seconds(1.0); t += milliseconds(10)) {
    rt->advanceTo(t);
    q->async([&, t] {
      lastEvent = t;
      timer->armBy(lastEvent + lapse + 1);
    });
    rt->runUntilIdle();
  }
  EXPECT_LE(calls, 12) << "about one per lapse, not one per instant (50)";
  EXPECT_TRUE(lapsed.empty());
  rt->advance(seconds(0.5));
  // Events stopped at 990 ms: the first instant past 1090 ms is 1100 ms.
  ASSERT_FALSE(lapsed.empty());
  EXPECT_EQ(lapsed.front(), milliseconds(1100));
}

}  // namespace
