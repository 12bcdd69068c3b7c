// The bit-rate rule and the statistics' quality, with the figures it is tuned to.
#include <gtest/gtest.h>

#include "Platform/Concurrency/Task.h"
#include "Platform/Log/SystemLog.h"
#include "Quarzadel/Studio/BitrateController.h"
#include "Platform/Dispatch/VirtualRuntime.h"
#include "Quarzadel/Studio/PublisherBitrateStrategy.h"

namespace quarzadel {
namespace {

using Adjustment = BitrateController::Adjustment;
using Change = BitrateController::Change;

TEST(BitrateController, CongestionLowersAtMostThirtyPercentThenHoldsUnlessTheQueueIsBeyondSixSeconds) {
  // A modest queue is neither congested nor calm.
  BitrateController modest(2867200, 96000, 2867200);
  modest.calmSeconds = 7;
  EXPECT_EQ(modest.step(false, 400000, 200000), std::nullopt);
  EXPECT_EQ(modest.calmSeconds, 0);

  BitrateController c(2867200, 96000, 2867200);
  // Budget 262000 × 8 − 96000 = 2000000; queue time 2 s.
  EXPECT_EQ(c.step(true, 262000, 524000), (Change{2007040, Adjustment::congested}));
  EXPECT_EQ(c.holdSeconds, 3);
  EXPECT_EQ(c.step(true, 262000, 524000), std::nullopt);
  EXPECT_EQ(c.step(true, 262000, 524000), std::nullopt);
  EXPECT_EQ(c.step(true, 262000, 524000), (Change{1800000, Adjustment::congested}));

  // 1.7 MB queued at 2096000 bits per second is about 6.5 s: no hold.
  BitrateController behind(2867200, 96000, 2867200);
  EXPECT_EQ(behind.step(false, 262000, 1700000), (Change{2007040, Adjustment::fallingBehind}));
  EXPECT_EQ(behind.step(false, 262000, 1700000), (Change{1404928, Adjustment::fallingBehind}));
  EXPECT_EQ(behind.step(false, 262000, 524000), std::nullopt);  // at 2 s the hold applies again
}

TEST(BitrateController, FallingBehindAndNothingMeasured) {
  BitrateController behind(2867200, 96000, 2867200);
  // Queue time 4 s: budget × 6 / 10 = 1200000, floored at 70 %.
  auto change = behind.step(false, 262000, 1048000);
  ASSERT_TRUE(change);
  EXPECT_EQ(change->kind, Adjustment::fallingBehind);
  EXPECT_EQ(change->bitrate, 2007040);

  BitrateController silent(1843200, 96000, 1000000);
  // Nothing sent: budget negative, lowered by 20 %.
  change = silent.step(true, 0, 1000000);
  ASSERT_TRUE(change);
  EXPECT_EQ(change->bitrate, 800000);
  EXPECT_EQ(change->kind, Adjustment::fallingBehind);

  BitrateController floor(1843200, 96000, 70000);
  change = floor.step(true, 0, 1000000);
  ASSERT_TRUE(change);
  EXPECT_EQ(change->bitrate, BitrateController::kMinimum);
  EXPECT_EQ(floor.step(true, 0, 1000000), std::nullopt);
}

TEST(BitrateController, FifteenCalmReportsRaiseByATenthNeverAboveTheMaximum) {
  BitrateController c(2867200, 96000, 2600000);
  for (int i = 0; i < 14; ++i) EXPECT_EQ(c.step(false, 300000, 1000), std::nullopt);
  EXPECT_EQ(c.step(false, 300000, 1000), (Change{2867200, Adjustment::recovered}));
  EXPECT_EQ(c.calmSeconds, 0);
  for (int i = 0; i < 30; ++i) EXPECT_EQ(c.step(false, 300000, 1000), std::nullopt);
  EXPECT_EQ(c.bitrate, 2867200);
  // Nothing sent is not calm.
  BitrateController idle(2867200, 96000, 1000000);
  for (int i = 0; i < 20; ++i) idle.step(false, 0, 0);
  EXPECT_EQ(idle.bitrate, 1000000);
}

TEST(PublisherBitrateStrategy, StepsLogAndReportEveryEvent) {
  platform::ScopedSystemLogCapture logs;
  std::vector<int64_t> reported;
  PublisherBitrateStrategy strategy(2867200, 96000, 2867200,
                                    [&](const medley::NetworkMonitorReport&, int64_t rate) { reported.push_back(rate); });
  medley::NetworkMonitorReport congested;
  congested.currentBytesOutPerSecond = 262000;
  congested.currentQueueBytesOut = 524000;
  auto runtime = platform::VirtualRuntime::make();
  auto run = [&](medley::NetworkMonitorEvent e) {
    platform::spawnDetached(runtime->mainQueue(), [](PublisherBitrateStrategy* s, medley::NetworkMonitorEvent ev) {
      return s->adjustBitRate(ev, nullptr);
    }, &strategy, e);
    runtime->runUntilIdle();
  };
  run(medley::NetworkMonitorEvent::publishInsufficientBWOccured(congested));
  EXPECT_EQ(reported, std::vector<int64_t>{2007040});
  auto messages = logs.sink().messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "Uplink congested: video bitrate 2867 → 2007 kbps (upload 2096 kbps, 511 KB queued)");
  // A reset clears the counters, keeps the rate and reports nothing.
  run(medley::NetworkMonitorEvent::reset());
  EXPECT_EQ(reported.size(), 1u);
  EXPECT_EQ(strategy.controller().holdSeconds, 0);
  EXPECT_TRUE(strategy.controller().recentSent.empty());
  EXPECT_EQ(strategy.controller().bitrate, 2007040);
}

}  // namespace
}  // namespace quarzadel
