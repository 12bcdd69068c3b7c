// The idle limit of a transfer on a clock of numbers: only growth of what the
// peer has taken counts, and the limit runs from the last growth.
#include <gtest/gtest.h>

#include "Platform/Net/TransferIdleWatch.h"

namespace platform {
namespace {

TEST(TransferIdleWatch, StallsTheLimitAfterTheLastGrowthAndNeverWhileTheCountGrows) {
  // A store taking 1.2 KB a second for 90 s: never stalled, whatever the limit's share of the whole.
  TransferIdleWatch slow(seconds(60), 0);
  for (int second = 1; second <= 90; ++second) EXPECT_FALSE(slow.stalled(1200 * second, seconds(second))) << second;

  // Growth every 59 s keeps it going; the same count read again is no growth.
  TransferIdleWatch sparse(seconds(60), seconds(10));
  EXPECT_FALSE(sparse.stalled(0, seconds(69)));
  EXPECT_TRUE(sparse.stalled(0, seconds(70)));  // nothing at all since the start
  TransferIdleWatch steps(seconds(60), 0);
  EXPECT_FALSE(steps.stalled(100, seconds(1)));
  EXPECT_FALSE(steps.stalled(100, seconds(60)));
  EXPECT_FALSE(steps.stalled(200, seconds(60)));
  EXPECT_EQ(steps.idleFor(seconds(100)), seconds(40));
  EXPECT_FALSE(steps.stalled(200, seconds(119)));
  EXPECT_TRUE(steps.stalled(200, seconds(120)));

  // A count that reads lower (another connection's, a reset) is no growth either.
  TransferIdleWatch lower(seconds(5), 0);
  EXPECT_FALSE(lower.stalled(5000, seconds(1)));
  EXPECT_FALSE(lower.stalled(10, seconds(2)));
  EXPECT_FALSE(lower.stalled(4000, seconds(5)));
  EXPECT_TRUE(lower.stalled(5000, seconds(6)));
}

}  // namespace
}  // namespace platform
