#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <stdexcept>
#include <thread>

#include "Platform/Dispatch/RuntimeExit.h"
#include "Platform/Dispatch/SerialQueue.h"
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

// Process exit: once exit has begun, the shared runtime's workers start no
// more jobs, so static objects are not destroyed under a running job.
TEST(RuntimeExit, WorkersStopBeforeStaticObjectsAreDestroyed) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        struct Tracker {
          std::atomic<bool> alive{true};
          ~Tracker() {
            alive = false;
            // Leave a running job the time to see it.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
          }
        };
        static Tracker tracker;  // constructed before the shared runtime: destroyed after its stop
        auto q = SerialQueue::make("busy", Runtime::shared());
        struct Spin {
          std::shared_ptr<SerialQueue> q;
          void operator()() const {
            if (!tracker.alive) std::_Exit(3);
            q->async(Spin{q});
          }
        };
        q->async(Spin{q});
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

// A job that never ends holds the program's end no longer than the stop's
// bound, and no static object is destroyed under it: the process ends with the
// status exit() was given.
TEST(RuntimeExit, AJobThatNeverEndsKeepsTheStaticObjectsItUsesAndTheStatus) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        static std::atomic<bool> started{false};
        auto q = SerialQueue::make("endless", Runtime::shared());
        struct Used {
          ~Used() { std::_Exit(3); }
        };
        static Used used;  // made after the shared runtime, so destroyed before its own stop at exit
        q->async([] {
          started = true;
          for (;;) {
            (void)&used;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
          }
        });
        while (!started) std::this_thread::yield();
        stopRuntimeBeforeExit();
        std::exit(7);
      },
      ::testing::ExitedWithCode(7), "");
}
