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
  for (int p = 0; p < 4; ++p)
    producers.emplace_back([&, p] {
      for (int i = 0; i < 1000; ++i)
        q->async([&, p, i] {
          if (inside.fetch_add(1) != 0) overlapped = true;
          seen.push_back(p * 10000 + i);
          inside.fetch_sub(1);
        });
    });
  for (auto& t : producers) t.join();
  // isCurrent holds inside q's jobs only, never for another queue.
  bool wrongQueue = true;
  auto other = SerialQueue::make("other", rt);
  q->sync([&] { wrongQueue = other->isCurrent() || !q->isCurrent(); });
  EXPECT_FALSE(wrongQueue);
  EXPECT_FALSE(q->isCurrent());
  EXPECT_FALSE(overlapped);
  ASSERT_EQ(seen.size(), 4000u);
  std::vector<int> last(4, -1);
  for (int v : seen) {
    EXPECT_EQ(v % 10000, last[v / 10000] + 1);
    last[v / 10000] = v % 10000;
  }
}
