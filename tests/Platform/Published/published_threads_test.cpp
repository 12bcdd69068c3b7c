#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "Platform/Published/Published.h"

using namespace platform;

// A subscriber that captured an object may have it destroyed right after its
// subscription is released, while another thread keeps setting the value.
TEST(PublishedThreads, ReleasedSubscriptionIsNeverCalledAgainNorStillRunning) {
  Published<int> p{0};
  std::atomic<bool> stop{false};
  std::thread setter([&] {
    for (int i = 1; !stop.load(); ++i) p.set(i);
  });
  for (int round = 0; round < 300; ++round) {
    auto seen = std::make_unique<std::vector<int>>();
    auto sub = p.subscribe([raw = seen.get()](const int& v) { raw->push_back(v); });
    std::this_thread::yield();
    sub.cancel();
    seen.reset();  // a call still running or starting now would touch freed memory
  }
  stop = true;
  setter.join();
  EXPECT_EQ(p.subscriberCount(), 0u);
}

TEST(PublishedThreads, EachSubscriberSeesEverySetInOrder) {
  Published<int> p{0};
  std::vector<int> a, b;
  auto subA = p.subscribe([&](const int& v) { a.push_back(v); });
  std::vector<std::thread> setters;
  for (int t = 0; t < 4; ++t)
    setters.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) p.set(t * 1000 + i);
    });
  auto subB = p.subscribe([&](const int& v) { b.push_back(v); });
  for (auto& s : setters) s.join();
  ASSERT_EQ(a.size(), 2001u);
  EXPECT_EQ(a.back(), p.value()) << "announced last, stored last";
  // b joined midway: what it saw is the tail of what a saw, starting with the value then current.
  ASSERT_FALSE(b.empty());
  std::vector<int> tail(a.end() - static_cast<long>(b.size()) + 1, a.end());
  EXPECT_EQ(std::vector<int>(b.begin() + 1, b.end()), tail);
}
