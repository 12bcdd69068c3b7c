#include <gtest/gtest.h>

#include <optional>
#include <thread>
#include <vector>

#include "ConcurrencyTestSupport.h"

using namespace platform;
using platform::testing::Env;

namespace {

Async<int> answer() { co_return 42; }

Async<int> addLater(Nanos d, int a, int b) {
  co_await sleepFor(d);
  co_return a + b;
}

Async<void> fail() {
  co_await yieldNow();
  throw std::runtime_error("boom");
}

}  // namespace

TEST(Task, RunsOnItsExecutorAndGivesItsValueToJoiners) {
  Env env;
  auto t = spawn(env.q, [&]() -> Async<int> {
    EXPECT_TRUE(env.q->isCurrent());
    co_return co_await answer() + co_await addLater(seconds(1), 1, 2);
  });
  auto withArguments = spawn(env.q, addLater, seconds(1), 20, 22);  // arguments are stored in the task
  env.rt->runUntilIdle();
  EXPECT_FALSE(t.isFinished());
  EXPECT_THROW(t.result(), std::logic_error) << "no result before the end";
  auto joiner = spawn(env.q, [t]() -> Async<int> { co_return co_await t.value() + 1; });
  env.rt->advance(seconds(1));
  EXPECT_EQ(t.result(), 45);
  EXPECT_EQ(joiner.result(), 46);
  EXPECT_EQ(withArguments.result(), 42);
  EXPECT_EQ(blockingWait(t.value(), env.q), 45) << "joining a finished task";
}

TEST(Task, ErrorsPropagateThroughAwaitsAndJoins) {
  Env env;
  auto u = spawn(env.q, []() -> Async<void> { co_await fail(); });
  auto joinU = spawn(env.q, [u]() -> Async<void> { co_await u.value(); });
  env.rt->runUntilIdle();
  EXPECT_THROW(joinU.result(), std::runtime_error);
}

TEST(Task, HoldsItsCapturesUntilItsBodyEndsAndReleasesThemBeforeJoinersResume) {
  Env env;
  auto held = std::make_shared<int>(7), joined = std::make_shared<int>(1);
  std::weak_ptr<int> weakHeld = held, weakJoined = joined;
  bool finished = false, expiredAtJoin = false;
  spawnDetached(env.q, [obj = std::move(held), &finished]() -> Async<void> {
    co_await sleepFor(seconds(2));
    finished = *obj == 7;
  });
  auto t = spawn(env.q, [obj = std::move(joined)]() -> Async<int> { co_return *obj; });
  spawnDetached(env.q, [&, t]() -> Async<void> {
    co_await t.value();
    expiredAtJoin = weakJoined.expired();
  });
  env.rt->advance(seconds(1));
  EXPECT_TRUE(expiredAtJoin);
  EXPECT_FALSE(weakHeld.expired()) << "the task keeps its captures";
  env.rt->advance(seconds(1));
  EXPECT_TRUE(finished) << "a task without a handle runs to its end";
  EXPECT_TRUE(weakHeld.expired());
}

TEST(Sleep, RunsOnVirtualTimeAndIsInterruptedByCancellation) {
  Env env;
  Nanos start = env.rt->now();
  std::vector<Nanos> wakes;
  auto sleeper = spawn(env.q, [&]() -> Async<void> {
    co_await sleepFor(milliseconds(1500));
    wakes.push_back(env.rt->now() - start);
    co_await sleepUntil(start + seconds(3));
    wakes.push_back(env.rt->now() - start);
    co_await sleepFor(seconds(3600));
    wakes.push_back(-1);  // not reached: cancelled
  });
  env.rt->advance(seconds(1));
  EXPECT_TRUE(wakes.empty());
  env.rt->advance(seconds(5));
  EXPECT_EQ(wakes, (std::vector<Nanos>{milliseconds(1500), seconds(3)}));
  EXPECT_EQ(env.rt->pendingTimers(), 1u);
  EXPECT_EQ(sleeper.cancellationState()->handlerCount(), 1u) << "finished sleeps leave no handler behind";
  sleeper.cancel();
  env.rt->runUntilIdle();
  ASSERT_TRUE(sleeper.isFinished());
  EXPECT_THROW(sleeper.result(), CancellationError);
  EXPECT_EQ(env.rt->pendingTimers(), 0u) << "the interrupted sleep's timer is cancelled";
}

TEST(Task, ManyAwaitsThatFinishAtOnceDoNotGrowTheStack) {
  Env env;
  auto t = spawn(env.q, []() -> Async<long> {
    long sum = 0;
    for (int i = 0; i < 200000; ++i) sum += co_await answer();
    co_return sum;
  });
  env.rt->runUntilIdle();
  EXPECT_EQ(t.result(), 42L * 200000);
}

TEST(Task, WeaklyHeldOwnerRunsOnlyIfAliveAndIsHeldWhileRunning) {
  Env env;
  auto owner = std::make_shared<int>(5);
  std::weak_ptr<int> weak = owner;
  auto ran = spawnWeak(env.q, weak, [](std::shared_ptr<int> o) -> Async<int> {
    co_await sleepFor(seconds(1));
    co_return *o;
  });
  env.rt->runUntilIdle();
  owner.reset();
  EXPECT_FALSE(weak.expired()) << "held while it runs";
  env.rt->advance(seconds(1));
  EXPECT_EQ(ran.result(), std::optional<int>(5));
  EXPECT_TRUE(weak.expired());

  auto gone = spawnWeak(env.q, weak, [](std::shared_ptr<int>) -> Async<void> {
    ADD_FAILURE() << "ran without its owner";
    co_return;
  });
  env.rt->runUntilIdle();
  EXPECT_TRUE(gone.isFinished());
}

TEST(SleepThreads, CancelRacingTheTimerEndsEachSleepExactlyOnce) {
  auto rt = Runtime::shared();
  auto q = SerialQueue::make("sleeper", rt);
  int interrupted = 0, woke = 0;
  for (int round = 0; round < 200; ++round) {
    auto t = spawn(q, []() -> Async<bool> {
      try {
        co_await sleepFor(microseconds(50));
      } catch (const CancellationError&) {
        co_return false;
      }
      co_return true;
    });
    std::thread canceller([t] { t.cancel(); });
    bool w = blockingWait(t.value(), rt->globalQueue());
    canceller.join();
    (w ? woke : interrupted)++;
    EXPECT_EQ(t.cancellationState()->handlerCount(), 0u);
  }
  EXPECT_EQ(woke + interrupted, 200);
}
