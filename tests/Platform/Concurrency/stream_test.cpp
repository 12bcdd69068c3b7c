#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "ConcurrencyTestSupport.h"

using namespace platform;
using platform::testing::Env;
using platform::testing::collect;

TEST(AsyncStream, DeliversInOrderAndDrainsTheBufferAfterFinish) {
  Env env;
  auto [stream, writer] = AsyncStream<int>::make();
  EXPECT_EQ(writer.yield(1), YieldResult::enqueued);
  EXPECT_EQ(writer.yield(2), YieldResult::enqueued);
  auto reader = collect(env.q, stream);
  env.rt->runUntilIdle();
  EXPECT_EQ(writer.yield(3), YieldResult::enqueued);  // straight to the waiting reader
  EXPECT_EQ(writer.yield(4), YieldResult::enqueued);
  writer.finish();
  EXPECT_EQ(writer.yield(5), YieldResult::terminated);
  env.rt->runUntilIdle();
  EXPECT_EQ(reader.result(), (std::vector<int>{1, 2, 3, 4}));
}

TEST(AsyncStream, NewestBufferingDropsTheOldestAndOldestBufferingDropsTheNew) {
  Env env;
  auto [newest, w1] = AsyncStream<int>::make(BufferingPolicy::bufferingNewest(2));
  EXPECT_EQ(w1.yield(1), YieldResult::enqueued);
  EXPECT_EQ(w1.yield(2), YieldResult::enqueued);
  EXPECT_EQ(w1.yield(3), YieldResult::dropped);
  EXPECT_EQ(w1.yield(4), YieldResult::dropped);
  w1.finish();
  auto [oldest, w2] = AsyncStream<int>::make(BufferingPolicy::bufferingOldest(2));
  for (int i = 1; i <= 4; ++i) w2.yield(i);
  w2.finish();
  auto [none, w3] = AsyncStream<int>::make(BufferingPolicy::bufferingNewest(0));
  EXPECT_EQ(w3.yield(1), YieldResult::dropped) << "nothing kept without a waiting reader";
  auto r1 = collect(env.q, newest);
  auto r2 = collect(env.q, oldest);
  auto r3 = collect(env.q, none);
  env.rt->runUntilIdle();
  EXPECT_EQ(w3.yield(2), YieldResult::enqueued) << "a waiting reader takes it";
  w3.finish();
  env.rt->runUntilIdle();
  EXPECT_EQ(r1.result(), (std::vector<int>{3, 4}));
  EXPECT_EQ(r2.result(), (std::vector<int>{1, 2}));
  EXPECT_EQ(r3.result(), (std::vector<int>{2}));
}

TEST(AsyncStream, EndsWhenEitherSideIsDroppedAndReportsHowOnce) {
  Env env;
  std::vector<StreamTermination> reasons;
  TaskHandle<std::vector<int>> reader;
  {
    auto [stream, writer] = AsyncStream<int>::make();
    writer.onTermination([&](StreamTermination t) { reasons.push_back(t); });
    writer.yield(1);
    reader = collect(env.q, stream);
  }  // last writer gone: finished
  env.rt->runUntilIdle();
  EXPECT_EQ(reader.result(), (std::vector<int>{1}));

  AsyncStream<int>::Writer w;
  {
    auto [stream, writer] = AsyncStream<int>::make();
    w = writer;
    writer.onTermination([&](StreamTermination t) { reasons.push_back(t); });
  }  // last reader gone: cancelled
  EXPECT_EQ(w.yield(1), YieldResult::terminated);
  w.finish();
  EXPECT_EQ(reasons, (std::vector<StreamTermination>{StreamTermination::finished, StreamTermination::cancelled}));

  bool late = false;
  w.onTermination([&](StreamTermination) { late = true; });
  EXPECT_TRUE(late) << "a callback set after the end runs at once";
}

TEST(AsyncStream, CancellingTheReadingTaskEndsItsWaitAndTheStream) {
  Env env;
  auto [stream, writer] = AsyncStream<int>::make();
  StreamTermination reason = StreamTermination::finished;
  writer.onTermination([&](StreamTermination t) { reason = t; });
  writer.yield(1);
  auto reader = collect(env.q, stream);
  env.rt->runUntilIdle();
  reader.cancel();
  env.rt->runUntilIdle();
  ASSERT_TRUE(reader.isFinished());
  EXPECT_EQ(reader.result(), (std::vector<int>{1}));
  EXPECT_EQ(reason, StreamTermination::cancelled);
  EXPECT_EQ(writer.yield(2), YieldResult::terminated);
}

TEST(AsyncStreamWriterSlot, ReplacingTheWriterEndsTheOldReadersLoop) {
  Env env;
  AsyncStreamWriterSlot<int> slot;
  EXPECT_EQ(slot.yield(0), YieldResult::dropped) << "no stream yet";
  auto first = collect(env.q, slot.makeStream());
  slot.yield(1);
  env.rt->runUntilIdle();
  auto second = collect(env.q, slot.makeStream());
  slot.yield(2);
  env.rt->runUntilIdle();
  ASSERT_TRUE(first.isFinished());
  EXPECT_EQ(first.result(), (std::vector<int>{1}));
  EXPECT_FALSE(second.isFinished());
  slot.finish();
  EXPECT_FALSE(slot.hasWriter());
  env.rt->runUntilIdle();
  EXPECT_EQ(second.result(), (std::vector<int>{2}));
}

TEST(AsyncStreamThreads, EachProducerKeepsItsOrder) {
  constexpr int kProducers = 4, kPerProducer = 2500;
  auto rt = Runtime::shared();
  auto q = SerialQueue::make("reader", rt);
  auto [stream, writer] = AsyncStream<int>::make();
  auto reader = collect(q, stream);
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p)
    producers.emplace_back([w = writer, p] {
      for (int i = 0; i < kPerProducer; ++i) w.yield(p * 100000 + i);
    });
  for (auto& t : producers) t.join();
  writer.finish();
  auto seen = blockingWait(reader.value(), rt->globalQueue());
  ASSERT_EQ(seen.size(), size_t(kProducers * kPerProducer));
  std::vector<int> next(kProducers, 0);
  for (int v : seen) {
    int p = v / 100000, i = v % 100000;
    ASSERT_EQ(i, next[p]) << "producer " << p;
    ++next[p];
  }
}
