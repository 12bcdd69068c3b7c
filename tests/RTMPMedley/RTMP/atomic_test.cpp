#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "RTMPMedley/Sources/RTMP/MDAtomic.h"

using rtmpmedley::MDAtomic;

namespace {

TEST(MDAtomicTest, ChangesAreExclusiveAndReadsSeeThemWhole) {
  MDAtomic<std::vector<int>> box(std::vector<int>{});
  std::atomic<bool> torn{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) box.mutate([](std::vector<int>& v) {
          v.push_back(1);
          v.push_back(2);
        });
    });
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i)
        if (box.value().size() % 2 != 0) torn = true;
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_FALSE(torn);
  EXPECT_EQ(box.value().size(), 8000u);
  EXPECT_EQ(box.withValue([](const std::vector<int>& v) { return v.front(); }), 1);
}

}  // namespace
