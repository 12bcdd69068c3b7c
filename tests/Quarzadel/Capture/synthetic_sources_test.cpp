#include "Quarzadel/Capture/SyntheticSources.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Quarzadel/Capture/SyntheticVideoSource.h"

namespace {

// Cameras come and go on one thread while another reports them unplugged: the
// report may hold the last reference of a camera another thread just let go.
// Run in a child process that an alarm ends, so a deadlock fails the test
// instead of hanging it.
void unplugWhileCamerasComeAndGo() {
  alarm(5);
  const quarzadel::SyntheticVideoSource::Spec spec{"synthetic-race", "Race", 16, 16, 30, {0, 0, 0}, 0, false};
  auto runtime = platform::Runtime::shared();
  auto queue = platform::SerialQueue::make("race.delivery", runtime);
  std::atomic<bool> done{false};
  std::thread reporter([&] {
    while (!done) quarzadel::SyntheticSources::reportUnplugged(spec.id);
  });
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  while (std::chrono::steady_clock::now() < end) {
    auto camera = quarzadel::SyntheticVideoSource::make(spec, runtime);
    camera->start(queue, [](auto&&...) {}, [](const std::string&) {});
  }
  done = true;
  reporter.join();
  std::_Exit(0);
}

}  // namespace

TEST(SyntheticSourcesTest, AnUnplugReportNeverHoldsTheLastCameraUnderItsLock) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(unplugWhileCamerasComeAndGo(), ::testing::ExitedWithCode(0), "");
}
