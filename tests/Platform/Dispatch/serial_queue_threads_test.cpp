#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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

// A hand-off made as a job's last work starts on the same worker right after
// that job; only one waits there, and a job that then blocks on it lets it go.
TEST(SerialQueueThreads, AQueueStartedAsAJobsLastWorkFollowsItOnItsWorker) {
  auto rt = std::make_shared<ThreadRuntime>(4);
  auto from = SerialQueue::make("from", rt);
  auto next = SerialQueue::make("next", rt);
  auto other = SerialQueue::make("other", rt);

  std::atomic<bool> posterEnded{false}, followedOnPoster{false};
  from->sync([&] {
    const auto poster = std::this_thread::get_id();
    next->asyncFollowing([&, poster] { followedOnPoster = posterEnded && std::this_thread::get_id() == poster; });
    posterEnded = true;
  });
  next->sync([] {});
  EXPECT_TRUE(followedOnPoster);

  // The second hand-off of one job goes to any worker: this job waits for it.
  // The first goes to a queue of its own: `next` may still be finishing its
  // turn above, and a hand-off to a queue whose turn is under way starts none.
  auto first = SerialQueue::make("first", rt);
  std::atomic<bool> secondRan{false}, secondRanWhileWaiting{false};
  from->sync([&] {
    first->asyncFollowing([] {});
    other->asyncFollowing([&] { secondRan = true; });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!secondRan && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    secondRanWhileWaiting = secondRan.load();
  });
  EXPECT_TRUE(secondRanWhileWaiting);

  // Waiting for the queue it left to follow does not wait on itself.
  int order = 0, handedAt = 0, waitedAt = 0;
  from->sync([&] {
    next->asyncFollowing([&] { handedAt = ++order; });
    next->sync([&] { waitedAt = ++order; });
  });
  EXPECT_EQ(handedAt, 1);
  EXPECT_EQ(waitedAt, 2);

  // Off the runtime's workers it is a plain async.
  std::atomic<bool> ran{false};
  next->asyncFollowing([&] { ran = true; });
  next->sync([] {});
  EXPECT_TRUE(ran);
}
