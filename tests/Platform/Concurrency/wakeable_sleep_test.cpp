#include "Platform/Concurrency/WakeableSleep.h"

#include <gtest/gtest.h>

#include "ConcurrencyTestSupport.h"

namespace platform {
namespace {

using testing::Env;

TEST(WakeableSleep, EndsAtItsTimeOrAtAWakeWhicheverComesFirstAndAWakeCancelsItsTimer) {
  Env env;
  WakeableSleep alarm;
  const Nanos start = env.rt->now();
  std::vector<Nanos> ends;
  auto sleeper = spawn(env.q, [&]() -> Async<void> {
    co_await alarm.until(start + seconds(2));
    ends.push_back(env.rt->now() - start);
    co_await alarm.until(start + seconds(10));
    ends.push_back(env.rt->now() - start);
    co_await alarm.until(std::nullopt);
    ends.push_back(env.rt->now() - start);
  });
  env.rt->advance(seconds(2) - 1);
  EXPECT_TRUE(ends.empty());
  env.rt->advance(1);
  EXPECT_EQ(ends, (std::vector<Nanos>{seconds(2)}));
  env.rt->advance(seconds(1));
  alarm.wake();
  env.rt->runUntilIdle();
  EXPECT_EQ(ends, (std::vector<Nanos>{seconds(2), seconds(3)}));
  // The woken sleep's timer is gone; a sleep without a time has none.
  EXPECT_EQ(env.rt->pendingTimers(), 0u);
  env.rt->advance(seconds(3600));
  EXPECT_EQ(ends.size(), 2u);
  alarm.wake();
  alarm.wake();  // a second wake for the same sleep is kept for the next one
  env.rt->runUntilIdle();
  EXPECT_EQ(ends.size(), 3u);
  EXPECT_TRUE(sleeper.isFinished());
}

TEST(WakeableSleep, AWakeBeforeTheSleepEndsItAtOnceAndCancellationThrows) {
  Env env;
  WakeableSleep alarm;
  alarm.wake();
  int passed = 0;
  auto sleeper = spawn(env.q, [&]() -> Async<void> {
    co_await alarm.until(env.rt->now() + seconds(5));
    ++passed;
    co_await alarm.until(std::nullopt);
    ++passed;
  });
  env.rt->runUntilIdle();
  EXPECT_EQ(passed, 1) << "the wake that came first is not lost";
  sleeper.cancel();
  env.rt->runUntilIdle();
  EXPECT_EQ(passed, 1);
  EXPECT_THROW(sleeper.result(), CancellationError);
  // Already cancelled: the sleep throws before it waits.
  auto late = spawn(env.q, [&]() -> Async<void> {
    co_await alarm.until(env.rt->now() + seconds(5));
    ++passed;
  });
  late.cancel();
  env.rt->runUntilIdle();
  EXPECT_EQ(passed, 1);
  EXPECT_EQ(env.rt->pendingTimers(), 0u);
}

TEST(WakeableSleep, AWakeEndsEverySleepUnderWay) {
  Env env;
  WakeableSleep alarm;
  int woken = 0;
  for (auto when : {std::optional<Nanos>(), std::optional<Nanos>(env.rt->now() + seconds(9))})
    spawnDetached(env.q, [&alarm, &woken, when]() -> Async<void> {
      co_await alarm.until(when);
      ++woken;
    });
  env.rt->runUntilIdle();
  alarm.wake();
  env.rt->runUntilIdle();
  EXPECT_EQ(woken, 2);
  EXPECT_EQ(env.rt->pendingTimers(), 0u);
}

}  // namespace
}  // namespace platform
