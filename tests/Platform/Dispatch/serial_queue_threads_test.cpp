#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "Platform/Dispatch/SerialQueue.h"

using namespace platform;

TEST(SerialQueueThreads, JobsRunOneAtATimeInSubmissionOrder) {
  auto rt = std::make_shared<ThreadRuntime>(4);
  auto q = SerialQueue::make("serial", rt);
  std::vector<int> seen;  // touched only on q
  std::atomic<int> inside{0};
  bool overlapped = false;
  std::vector<std::thread> producers;
  for (int p = 0; p < 4; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < 1000; ++i)
        q->async([&, p, i] {
          if (inside.fetch_add(1) != 0) overlapped = true;
          seen.push_back(p * 10000 + i);
          inside.fetch_sub(1);
        });
    });
  }
  for (auto& t : producers) t.join();
  q->sync([] {});
  EXPECT_FALSE(overlapped);
  ASSERT_EQ(seen.size(), 4000u);
  std::vector<int> last(4, -1);
  for (int v : seen) {
    int p = v / 10000, i = v % 10000;
    EXPECT_EQ(i, last[p] + 1);
    last[p] = i;
  }
}

TEST(SerialQueueThreads, IsCurrentOnlyInsideItsJobs) {
  auto rt = std::make_shared<ThreadRuntime>(2);
  auto a = SerialQueue::make("a", rt);
  auto b = SerialQueue::make("b", rt);
  bool aInA = false, bInA = true;
  a->sync([&] {
    aInA = a->isCurrent();
    bInA = b->isCurrent();
  });
  EXPECT_TRUE(aInA);
  EXPECT_FALSE(bInA);
  EXPECT_FALSE(a->isCurrent());
}
