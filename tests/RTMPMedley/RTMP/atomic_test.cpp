#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "RTMPMedley/Sources/RTMP/MDAtomic.h"

TEST(MDAtomicTest, ChangesAreExclusiveAndReadsSeeThemWhole) {
  rtmpmedley::MDAtomic<std::vector<int>> box(std::vector<int>{});
  std::atomic<bool> torn{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) box.mutate([](std::vector<int>& v) { v.insert(v.end(), {1, 2}); });
    });
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) torn = torn || box.value().size() % 2 != 0;
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_FALSE(torn);
  EXPECT_EQ(box.value().size(), 8000u);
}
