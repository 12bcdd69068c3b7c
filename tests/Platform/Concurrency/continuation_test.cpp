#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <map>
#include <thread>

#include "ConcurrencyTestSupport.h"

using namespace platform;
using platform::testing::Env;

TEST(Continuation, FirstResumeWinsAndTheWaiterResumesOnItsExecutor) {
  Env env;
  Continuation<int> saved;
  bool onQueue = false;
  auto t = spawn(env.q, [&]() -> Async<int> {
    int v = co_await withContinuation<int>([&](Continuation<int> c) { saved = c; });
    onQueue = env.q->isCurrent();
    co_return v;
  });
  env.rt->runUntilIdle();
  EXPECT_TRUE(saved.resume(1));
  EXPECT_FALSE(saved.resume(2));
  EXPECT_FALSE(saved.resumeThrowing(std::runtime_error("late")));
  env.rt->runUntilIdle();
  EXPECT_EQ(t.result(), 1);
  EXPECT_TRUE(onQueue);
}

TEST(Continuation, ErrorsThrowingSetupAndADroppedContinuationFailTheWaiter) {
  Env env;
  Continuation<void> saved;
  std::map<int, Continuation<int>> table;
  auto a = spawn(env.q, [&]() -> Async<void> { co_await withContinuation<void>([&](auto c) { saved = c; }); });
  auto b = spawn(env.q, []() -> Async<void> {
    co_await withContinuation<void>([](Continuation<void>) { throw std::invalid_argument("setup"); });
  });
  auto dropped = spawn(env.q, [&]() -> Async<int> {
    co_return co_await withContinuation<int>([&](Continuation<int> c) { table.emplace(1, std::move(c)); });
  });
  env.rt->runUntilIdle();
  EXPECT_FALSE(dropped.isFinished());
  saved.resumeThrowing(std::out_of_range("answer"));
  table.clear();
  env.rt->runUntilIdle();
  EXPECT_THROW(a.result(), std::out_of_range);
  EXPECT_THROW(b.result(), std::invalid_argument);
  EXPECT_THROW(dropped.result(), ContinuationDroppedError);
}

TEST(Continuation, CancellingTheWaitingTaskDoesNotEndTheWait) {
  Env env;
  Continuation<int> saved;
  bool sawCancelled = false;
  auto t = spawn(env.q, [&]() -> Async<int> {
    int v = co_await withContinuation<int>([&](Continuation<int> c) { saved = c; });
    sawCancelled = co_await isCancelled();
    co_return v;
  });
  env.rt->runUntilIdle();
  t.cancel();
  env.rt->advance(seconds(60));
  EXPECT_FALSE(t.isFinished());
  saved.resume(5);
  env.rt->runUntilIdle();
  EXPECT_EQ(t.result(), 5);
  EXPECT_TRUE(sawCancelled);
}

TEST(ContinuationThreads, ResumedFromTwoThreadsAtOnceResumesItsWaiterOnce) {
  auto rt = Runtime::shared();
  auto q = SerialQueue::make("waiter", rt);
  for (int round = 0; round < 300; ++round) {
    std::atomic<int> resumes{0};
    std::atomic<int> wins{0};
    auto stored = std::make_shared<std::promise<Continuation<int>>>();
    auto ready = stored->get_future();
    auto t = spawn(q, [&, stored]() -> Async<int> {
      int v = co_await withContinuation<int>([&](Continuation<int> c) { stored->set_value(c); });
      resumes.fetch_add(1);
      co_return v;
    });
    auto c = ready.get();
    std::atomic<bool> go{false};
    auto racer = [&](int v) {
      while (!go.load()) std::this_thread::yield();
      if (c.resume(v)) wins.fetch_add(1);
    };
    std::thread a(racer, 1), b(racer, 2);
    go.store(true);
    a.join();
    b.join();
    int v = blockingWait(t.value(), rt->globalQueue());
    EXPECT_TRUE(v == 1 || v == 2);
    EXPECT_EQ(wins.load(), 1);
    EXPECT_EQ(resumes.load(), 1);
  }
}
