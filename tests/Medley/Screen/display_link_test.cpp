#include <gtest/gtest.h>

#include "Medley/Sources/Screen/DisplayLink.h"
#include "Medley/Sources/Screen/DisplayLinkChoreographer.h"
#include "Medley/Util/virtual_run.h"

namespace medley {
namespace {

using platform::milliseconds;
using platform::VirtualRuntime;

constexpr platform::Nanos kRefresh = 16'666'666;  // the link's 60 Hz timer interval

struct ChoreographerTest : ::testing::Test {
  std::shared_ptr<VirtualRuntime> rt = VirtualRuntime::make();
  std::shared_ptr<DisplayLinkChoreographer> choreographer = std::make_shared<DisplayLinkChoreographer>(rt);

  void refreshes(int n) {
    for (int i = 0; i < n; ++i) rt->advance(kRefresh);
    rt->runUntilIdle();
  }
};

TEST_F(ChoreographerTest, EveryRefreshTicksAtZeroWithHostSeconds) {
  medleytest::Collector<DisplayLinkTime> ticks(rt, choreographer->updateFrames());
  choreographer->startRunning();
  const double started = rt->nowSeconds();
  refreshes(6);
  ASSERT_EQ(ticks.values().size(), 6u);
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_NEAR(ticks.values()[i].timestamp, started + (i + 1) * 1e-9 * kRefresh, 1e-9);
    EXPECT_EQ(ticks.values()[i].targetTimestamp, ticks.values()[i].timestamp);
  }
}

TEST_F(ChoreographerTest, ThirtyFramesPerSecondOnSixtyHertzFiresEverySecondRefresh) {
  choreographer->setPreferredFramesPerSecond(30);
  medleytest::Collector<DisplayLinkTime> ticks(rt, choreographer->updateFrames());
  choreographer->startRunning();
  refreshes(12);
  ASSERT_EQ(ticks.values().size(), 6u);
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_NEAR(ticks.values()[i].targetTimestamp - ticks.values()[i].timestamp, 1.0 / 30, 1e-9);
    if (i > 0) EXPECT_NEAR(ticks.values()[i].timestamp - ticks.values()[i - 1].timestamp, 2e-9 * kRefresh, 1e-9);
  }
  EXPECT_EQ(choreographer->displayLink()->frameInterval(), 1.0 / 30);
}

TEST_F(ChoreographerTest, BackToZeroMeansEveryRefreshAgain) {
  choreographer->setPreferredFramesPerSecond(30);
  medleytest::Collector<DisplayLinkTime> ticks(rt, choreographer->updateFrames());
  choreographer->startRunning();
  refreshes(4);
  ASSERT_EQ(ticks.values().size(), 2u);
  choreographer->setPreferredFramesPerSecond(0);
  EXPECT_EQ(choreographer->displayLink()->frameInterval(), 0);
  refreshes(4);
  ASSERT_EQ(ticks.values().size(), 6u);
  EXPECT_EQ(ticks.values().back().targetTimestamp, ticks.values().back().timestamp);
}

TEST_F(ChoreographerTest, StartTwiceMakesOneLinkAndStopEndsTheCurrentSequence) {
  auto older = choreographer->updateFrames();
  medleytest::Collector<DisplayLinkTime> earlier(rt, std::move(older));
  medleytest::Collector<DisplayLinkTime> ticks(rt, choreographer->updateFrames());
  choreographer->startRunning();
  const auto link = choreographer->displayLink();
  choreographer->startRunning();
  EXPECT_EQ(choreographer->displayLink(), link);
  refreshes(3);
  EXPECT_EQ(ticks.values().size(), 3u);
  EXPECT_TRUE(earlier.values().empty()) << "only the newest sequence is fed";

  choreographer->stopRunning();
  refreshes(3);
  EXPECT_TRUE(ticks.ended());
  EXPECT_EQ(ticks.values().size(), 3u);
  EXPECT_TRUE(earlier.ended()) << "a replaced sequence ends instead of waiting forever";
  EXPECT_EQ(choreographer->displayLink(), nullptr);
  EXPECT_EQ(rt->pendingTimers(), 0u) << "the dropped link stops its timer";
  choreographer->stopRunning();
}

TEST_F(ChoreographerTest, TicksWithoutASequenceAreDropped) {
  choreographer->startRunning();
  refreshes(3);
  medleytest::Collector<DisplayLinkTime> ticks(rt, choreographer->updateFrames());
  refreshes(2);
  EXPECT_EQ(ticks.values().size(), 2u);
}

TEST(DisplayLinkTest, PausedAndInvalidatedLinksDoNotFire) {
  auto rt = VirtualRuntime::make();
  int fired = 0;
  auto link = std::make_shared<DisplayLink>(platform::SerialQueue::make("link", rt), [&](const DisplayLink&) { ++fired; });
  rt->advance(milliseconds(100));
  EXPECT_EQ(fired, 0) << "not started before add()";
  link->add();
  rt->advance(3 * kRefresh);
  EXPECT_EQ(fired, 3);
  link->setPaused(true);
  rt->advance(3 * kRefresh);
  EXPECT_EQ(fired, 3);
  link->setPaused(false);
  rt->advance(2 * kRefresh);
  EXPECT_EQ(fired, 5);
  link->invalidate();
  rt->advance(3 * kRefresh);
  EXPECT_EQ(fired, 5);
  link->setPaused(true);
  link->setPaused(false);
  rt->advance(3 * kRefresh);
  EXPECT_EQ(fired, 5) << "invalidated for good";
}

}  // namespace
}  // namespace medley
