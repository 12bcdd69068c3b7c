// The bit-rate rule and the statistics' quality, with the figures it is tuned to.
#include <gtest/gtest.h>

#include "Quarzadel/Studio/BitrateController.h"

namespace quarzadel {
namespace {

using Adjustment = BitrateController::Adjustment;
using Change = BitrateController::Change;

TEST(BitrateController, LowersAtMostThirtyPercentAndHoldsRaisesAfterFifteenCalmReports) {
  // A modest queue is neither congested nor calm.
  BitrateController modest(2867200, 96000, 2867200);
  modest.calmSeconds = 7;
  EXPECT_EQ(modest.step(false, 400000, 200000), std::nullopt);
  EXPECT_EQ(modest.calmSeconds, 0);

  BitrateController c(2867200, 96000, 2867200);
  // Budget 262000 × 8 − 96000 = 2000000; queue time 2 s; floored at 70 %, then held 3 reports.
  EXPECT_EQ(c.step(true, 262000, 524000), (Change{2007040, Adjustment::congested}));
  EXPECT_EQ(c.step(true, 262000, 524000), std::nullopt);
  EXPECT_EQ(c.step(true, 262000, 524000), std::nullopt);
  EXPECT_EQ(c.step(true, 262000, 524000), (Change{1800000, Adjustment::congested}));

  // 1.7 MB queued at 2096000 bits per second is about 6.5 s: no hold.
  BitrateController behind(2867200, 96000, 2867200);
  EXPECT_EQ(behind.step(false, 262000, 1700000), (Change{2007040, Adjustment::fallingBehind}));
  EXPECT_EQ(behind.step(false, 262000, 1700000), (Change{1404928, Adjustment::fallingBehind}));
  EXPECT_EQ(behind.step(false, 262000, 524000), std::nullopt);  // at 2 s the hold applies again

  // Nothing sent: lowered by 20 %, never below the minimum.
  BitrateController silent(1843200, 96000, 1000000);
  EXPECT_EQ(silent.step(true, 0, 1000000), (Change{800000, Adjustment::fallingBehind}));
  BitrateController floor(1843200, 96000, 70000);
  EXPECT_EQ(floor.step(true, 0, 1000000), (Change{BitrateController::kMinimum, Adjustment::fallingBehind}));
  EXPECT_EQ(floor.step(true, 0, 1000000), std::nullopt);

  BitrateController calm(2867200, 96000, 2600000);
  for (int i = 0; i < 14; ++i) EXPECT_EQ(calm.step(false, 300000, 1000), std::nullopt);
  EXPECT_EQ(calm.step(false, 300000, 1000), (Change{2867200, Adjustment::recovered}));
  for (int i = 0; i < 30; ++i) EXPECT_EQ(calm.step(false, 300000, 1000), std::nullopt);
  // A key frame's burst at every other report is calm; a queue that stands is not.
  BitrateController bursts(2867200, 96000, 2007040);
  for (int i = 0; i < 14; ++i) EXPECT_EQ(bursts.step(false, 300000, i % 2 ? 150000 : 2000), std::nullopt);
  EXPECT_EQ(bursts.step(false, 300000, 2000), (Change{2293760, Adjustment::recovered}));
  BitrateController standing(2867200, 96000, 2007040);
  for (int i = 0; i < 30; ++i) EXPECT_EQ(standing.step(false, 300000, 70000 + i % 2 * 80000), std::nullopt);
  // Nothing sent is not calm.
  BitrateController idle(2867200, 96000, 1000000);
  for (int i = 0; i < 20; ++i) idle.step(false, 0, 0);
  EXPECT_EQ(idle.bitrate, 1000000);
}

}  // namespace
}  // namespace quarzadel
