// The copy's backlogs hold a length of program, whatever the size of their items.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Quarzadel/Studio/TimedBacklog.h"

namespace {

using quarzadel::TimedBacklog;

TEST(TimedBacklog, HoldsALengthOfProgramAndPushesOutTheOldestPastIt) {
  TimedBacklog<int> pictures(0.35);
  std::vector<int> dropped;
  for (int i = 0; i < 30; ++i) {
    for (int d : pictures.push(i, 1.0 / 30)) dropped.push_back(d);
  }
  // Ten pictures of a thirtieth fit in 0.35 s; the twenty oldest went, in order.
  EXPECT_EQ(pictures.size(), 10u);
  ASSERT_EQ(dropped.size(), 20u);
  EXPECT_EQ(dropped.front(), 0);
  EXPECT_EQ(dropped.back(), 19);
  EXPECT_EQ(pictures.front(), 20);
  EXPECT_NEAR(pictures.heldSeconds(), 10.0 / 30, 1e-9);

  // Taking from the front makes room again; emptying leaves nothing held.
  EXPECT_EQ(pictures.pop(), 20);
  EXPECT_TRUE(pictures.push(30, 1.0 / 30).empty());
  EXPECT_EQ(pictures.takeAll().size(), 10u);
  EXPECT_EQ(pictures.heldSeconds(), 0);
  EXPECT_FALSE(pictures.pop());
}

TEST(TimedBacklog, ItemsOfAnyLengthCountByTheirLength) {
  TimedBacklog<std::string> sound(1.0);
  // Forty short buffers of 10 ms fit, then one long buffer of 0.7 s pushes out 0.7 s of them.
  for (int i = 0; i < 40; ++i) EXPECT_TRUE(sound.push("short", 0.01).empty());
  EXPECT_EQ(sound.push("long", 0.7).size(), 10u);
  EXPECT_EQ(sound.size(), 31u);
  // An item longer than the limit stays alone rather than being lost at once.
  EXPECT_EQ(sound.push("longer than the limit", 1.5).size(), 31u);
  EXPECT_EQ(sound.front(), "longer than the limit");
  EXPECT_EQ(sound.push("next", 0.01).size(), 1u);
  // A length that is not a number of seconds counts as none.
  EXPECT_TRUE(sound.push("odd", -1).empty());
  EXPECT_NEAR(sound.heldSeconds(), 0.01, 1e-12);
}

// Items stay in order whatever the flow: taken from the front while the back
// grows past the room it had, and emptied without being handed back.
TEST(TimedBacklog, KeepsTheOrderAsItGrowsAndEmpties) {
  TimedBacklog<int> pictures(10.0);
  for (int i = 0; i < 3; ++i) pictures.push(i, 0.1);
  EXPECT_EQ(pictures.pop(), 0);
  EXPECT_EQ(pictures.pop(), 1);
  for (int i = 3; i < 20; ++i) pictures.push(i, 0.1);
  std::vector<int> order;
  while (auto item = pictures.pop()) order.push_back(*item);
  EXPECT_EQ(order.size(), 18u);
  for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(order[i], static_cast<int>(i) + 2);

  pictures.push(7, 0.1);
  pictures.clear();
  EXPECT_EQ(pictures.size(), 0u);
  EXPECT_EQ(pictures.heldSeconds(), 0);
  EXPECT_FALSE(pictures.front());
}

}  // namespace
