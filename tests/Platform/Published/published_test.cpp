#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Platform/Concurrency/Concurrency.h"
#include "Platform/Dispatch/VirtualRuntime.h"
#include "Platform/Published/Published.h"
#include "Platform/Published/PublishedStream.h"

using namespace platform;

TEST(Published, AnnouncesBeforeStoringAndOnEverySet) {
  Published<int> p{1};
  std::vector<std::pair<int, int>> seen;  // (announced, stored at that moment)
  auto sub = p.subscribe([&](const int& v) { seen.emplace_back(v, p.value()); });
  p.set(2);
  p.set(2);
  EXPECT_EQ(p.value(), 2);
  EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{1, 1}, {2, 1}, {2, 2}}));
}

TEST(Published, SubscriptionEndsWithItsLifetimeOrCancel) {
  Published<int> p{0};
  int calls = 0;
  {
    auto sub = p.subscribe([&](const int&) { ++calls; });
    p.set(1);
  }
  p.set(2);
  EXPECT_EQ(calls, 2);

  Subscription moved;
  {
    auto sub = p.subscribe([&](const int&) { ++calls; });
    moved = std::move(sub);
  }
  p.set(3);
  EXPECT_EQ(calls, 4);
  moved.cancel();
  p.set(4);
  EXPECT_EQ(calls, 4);
}

TEST(Published, SubscriberMayUnsubscribeItselfAndSetFromItsCall) {
  Published<int> p{0};
  std::vector<int> seen;
  Subscription sub;
  sub = p.publisher().dropFirst().sink([&](const int& v) {
    seen.push_back(v);
    if (v == 1) p.set(10);  // nested set: announced too
    if (v == 10) sub.cancel();
  });
  p.set(1);
  EXPECT_EQ(p.value(), 1) << "the outer set stores last";
  p.set(2);
  EXPECT_EQ(seen, (std::vector<int>{1, 10}));
}

TEST(Published, CombineLatest) {
  Published<int> a{1};
  Published<std::string> b{"x"};
  std::vector<std::string> seen;
  auto sub = combineLatest(a.publisher(), b.publisher(),
                           [&](int n, const std::string& s) { seen.push_back(std::to_string(n) + s); });
  a.set(2);
  b.set("y");
  EXPECT_EQ(seen, (std::vector<std::string>{"1x", "2x", "2y"}));
}

TEST(Published, OperatorsMapFilterRemoveDuplicates) {
  Published<int> p{1};
  std::vector<int> seen;
  auto sub = p.publisher()
                 .map([](int v) { return v / 10; })
                 .removeDuplicates()
                 .filter([](const int& v) { return v != 3; })
                 .sink([&](const int& v) { seen.push_back(v); });
  for (int v : {5, 12, 15, 30, 31, 40}) p.set(v);
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 4}));
}

TEST(Published, DeliveryOnAQueueInOrderAndNotAfterCancel) {
  auto rt = VirtualRuntime::make();
  auto q = SerialQueue::make("ui", rt);
  Published<int> p{0};
  std::vector<int> seen;
  bool onQueue = true;
  auto sub = p.subscribe(q, [&](const int& v) {
    onQueue = onQueue && q->isCurrent();
    seen.push_back(v);
  });
  p.set(1);
  p.set(2);
  EXPECT_TRUE(seen.empty()) << "nothing before the queue runs";
  rt->runUntilIdle();
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2}));
  EXPECT_TRUE(onQueue);

  p.set(3);
  sub.cancel();  // the queued delivery must not run after the cancel
  rt->runUntilIdle();
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2}));
}

TEST(Published, ReadAsAnAsyncStreamThatFinishesWithItsSource) {
  auto rt = VirtualRuntime::make();
  auto q = SerialQueue::make("reader", rt);
  auto p = std::make_unique<Published<int>>(7);
  auto stream = asyncStream(p->publisher());
  std::vector<int> seen;
  auto reader = spawn(q, [&, stream]() -> Async<void> {
    while (auto v = co_await stream.next()) seen.push_back(*v);
  });
  rt->runUntilIdle();
  p->set(8);
  rt->runUntilIdle();
  EXPECT_EQ(seen, (std::vector<int>{7, 8}));
  EXPECT_FALSE(reader.isFinished());
  p.reset();
  rt->runUntilIdle();
  EXPECT_TRUE(reader.isFinished());
}
