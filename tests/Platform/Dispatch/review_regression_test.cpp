#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Platform/Dispatch/RepeatingTimer.h"
#include "Platform/Dispatch/VirtualRuntime.h"

using namespace platform;

namespace {

void boom() { throw std::runtime_error("boom"); }

}  // namespace

// A job that throws must not leave its sync caller waiting for ever: the
// caller gets the error, and the queue goes on with later jobs.
TEST(SerialQueueSync, TheJobsErrorReachesTheCallerAndTheQueueGoesOn) {
  auto vrt = VirtualRuntime::make();
  auto vq = SerialQueue::make("virtual", vrt);
  EXPECT_THROW(vq->sync(boom), std::runtime_error);
  int after = 0;
  vq->sync([&] { after = 1; });
  EXPECT_EQ(after, 1);

  auto rt = std::make_shared<ThreadRuntime>(2);
  auto q = SerialQueue::make("threads", rt);
  auto outcome = std::make_shared<std::promise<std::string>>();
  auto future = outcome->get_future();
  // On a thread of its own: without the fix the call never returns.
  std::thread([q, outcome] {
    try {
      q->sync(boom);
      outcome->set_value("returned");
    } catch (const std::runtime_error& e) {
      outcome->set_value(e.what());
    }
  }).detach();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "sync hangs";
  EXPECT_EQ(future.get(), "boom");
  q->sync([&] { after = 2; });
  EXPECT_EQ(after, 2);
}

// Ticks that fall due while the queue is busy are merged into one call: a
// stalled queue does not collect one job per tick and then run them in a burst.
TEST(RepeatingTimer, TicksMissedWhileTheQueueIsBusyCoalesceIntoOneCall) {
  auto rt = VirtualRuntime::make(0);
  auto q = SerialQueue::make("t", rt);
  std::vector<Nanos> fires;
  auto timer = RepeatingTimer::start(q, milliseconds(10), milliseconds(10), [&] { fires.push_back(rt->now()); });
  rt->advance(milliseconds(10));
  ASSERT_EQ(fires.size(), 1u);
  // A job that holds the queue for ten intervals of (virtual) time.
  q->async([&] { rt->advance(milliseconds(100)); });
  rt->runUntilIdle();
  EXPECT_EQ(fires.size(), 2u) << "the ten ticks missed during the stall run once";
  rt->advance(milliseconds(10));
  EXPECT_EQ(fires.size(), 3u) << "then the grid goes on";
  EXPECT_EQ(fires.back(), milliseconds(120));
}
