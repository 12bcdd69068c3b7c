#include <gtest/gtest.h>

#include "Platform/Concurrency/Concurrency.h"
#include "Platform/Dispatch/VirtualRuntime.h"

using namespace platform;

namespace {

Async<int> answer() { co_return 42; }

Async<int> addLater(Nanos d, int a, int b) {
  co_await sleepFor(d);
  co_return a + b;
}

}  // namespace

TEST(Task, SpawnRunsOnExecutorAndJoins) {
  auto rt = VirtualRuntime::make();
  auto q = SerialQueue::make("q", rt);
  auto t = spawn(q, [&]() -> Async<int> {
    EXPECT_TRUE(q->isCurrent());
    co_return co_await answer() + co_await addLater(seconds(1), 1, 2);
  });
  rt->runUntilIdle();
  EXPECT_FALSE(t.isFinished());
  rt->advance(seconds(1));
  EXPECT_TRUE(t.isFinished());
  EXPECT_EQ(t.result(), 45);
  EXPECT_EQ(blockingWait(t.value(), q), 45);
}
