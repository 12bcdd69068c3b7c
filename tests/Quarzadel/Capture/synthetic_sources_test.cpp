#include "Quarzadel/Capture/SyntheticSources.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "CommandOutput.h"
#include "Platform/Dispatch/RuntimeExit.h"
#include "Quarzadel/Capture/SyntheticVideoSource.h"
#include "TestPaths.h"

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

// Set when the program's exit has taken down what was made after the marker:
// the list of live cameras among it.
std::atomic<bool> pastTheCameraList{false};
struct ExitMarker {
  ~ExitMarker() { pastTheCameraList = true; }
};

// A camera's last stop runs on a worker while the program exits, in a job that
// waits until the static objects made after the marker are destroyed, so it
// outlives the runtime's stop: the process must end without destroying the list
// of live cameras under it.
void stopACameraAsTheProgramExits() {
  alarm(5);
  const quarzadel::SyntheticVideoSource::Spec spec{"synthetic-exit", "Exit", 16, 16, 30, {0, 0, 0}, 0, false};
  auto runtime = platform::Runtime::shared();
  static ExitMarker marker;
  auto queue = platform::SerialQueue::make("exit.delivery", runtime);
  auto camera = quarzadel::SyntheticVideoSource::make(spec, runtime);
  camera->start(queue, [](auto&&...) {}, [](const std::string&) {});
  static std::atomic<bool> waiting{false};
  queue->async([camera] {
    waiting = true;
    while (!pastTheCameraList) std::this_thread::yield();
    camera->stop();
  });
  while (!waiting) std::this_thread::yield();
  platform::stopRuntimeBeforeExit();
  std::exit(0);
}

}  // namespace

TEST(SyntheticSourcesTest, ACameraThatStopsWhileTheProgramExitsFindsItsListStillThere) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(stopACameraAsTheProgramExits(), ::testing::ExitedWithCode(0), "");
}

// A program returns from main while a worker still starts and stops cameras
// (tests/Quarzadel/Capture/programs): the job ends before the list of live
// cameras is destroyed, or the address sanitizer ends the child.
TEST(SyntheticSourcesTest, AProgramThatReturnsWhileCamerasComeAndGoEndsAfterThem) {
  const auto child = qztest::runCommand(qztest::binaryDir() + "/tests/exit_while_cameras_run");
  EXPECT_EQ(child.exitCode(), 0) << child.text;
  EXPECT_NE(child.text.find("cameras done"), std::string::npos) << child.text;
  EXPECT_EQ(child.text.find("Sanitizer"), std::string::npos) << child.text;
}

TEST(SyntheticSourcesTest, AnUnplugReportNeverHoldsTheLastCameraUnderItsLock) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(unplugWhileCamerasComeAndGo(), ::testing::ExitedWithCode(0), "");
}

namespace quarzadel {
namespace {

using Fault = SyntheticSources::Fault;

std::map<std::string, Fault> suspendedFrom(const std::string& listed) {
  auto defaults = platform::UserDefaults::inMemory();
  defaults->set("SyntheticSuspended", listed);
  return SyntheticSources::initialFaults(*defaults);
}

// The cameras and colours that scripts and the recorded pictures are checked
// against: the table, and each colour's BT.709 video-range code.
TEST(SyntheticSourcesTest, TheCameraTableAndItsColoursCodes) {
  auto defaults = platform::UserDefaults::inMemory();
  const auto specs = SyntheticSources::makeSpecs(*defaults);
  ASSERT_EQ(specs.size(), 5u);
  struct Row {
    const char* id;
    int width, height;
    double fps, latency;
    bool noise;
    YCbCr code;
  };
  const Row rows[] = {{"synthetic-a", 1280, 720, 60, 0, false, {87, 179, 96}},
                      {"synthetic-b", 1440, 1080, 30, 0, false, {99, 94, 180}},
                      {"synthetic-c", 1080, 1920, 25, 0, false, {121, 100, 81}},
                      {"synthetic-d", 1920, 1080, 30, 0.15, false, {78, 166, 152}},
                      {"synthetic-noise", 1920, 1080, 30, 0, true, {126, 128, 128}}};
  for (size_t i = 0; i < specs.size(); ++i) {
    const auto& s = specs[i];
    const Row& r = rows[i];
    EXPECT_EQ(s.id, r.id);
    EXPECT_EQ(s.width, r.width) << r.id;
    EXPECT_EQ(s.height, r.height) << r.id;
    EXPECT_EQ(s.fps, r.fps) << r.id;
    EXPECT_EQ(s.latency, r.latency) << r.id;
    EXPECT_EQ(s.noise, r.noise) << r.id;
    EXPECT_EQ(SyntheticVideoSource::yCbCr(s.color), r.code) << r.id;
  }
  EXPECT_EQ(specs[0].name, "Test Pattern A (720p 60 fps)");
  EXPECT_EQ(specs[4].name, "Test Noise (1080p 30 fps)");
  defaults->set("SyntheticClipName", "Rehearsal clip");
  EXPECT_EQ(SyntheticSources::makeSpecs(*defaults)[4].name, "Rehearsal clip");

  // White and black are the ends of video range; anything past them is clamped to 16...240.
  EXPECT_EQ(SyntheticVideoSource::yCbCr({1, 1, 1}), (YCbCr{235, 128, 128}));
  EXPECT_EQ(SyntheticVideoSource::yCbCr({0, 0, 0}), (YCbCr{16, 128, 128}));
  EXPECT_EQ(SyntheticVideoSource::yCbCr({-1, -1, -1}), (YCbCr{16, 128, 128}));
  EXPECT_EQ(SyntheticVideoSource::yCbCr({2, 2, 0}).y, 240);
  EXPECT_EQ(SyntheticVideoSource::yCbCr({1, 0, 0}).cr, 240);
  EXPECT_EQ(SyntheticVideoSource::yCbCr({0, 0, 1}).cb, 240);
  EXPECT_EQ(SyntheticVideoSource::yCbCr({0, 1, 1}).cr, 16);

  // The sweeping bar: a twentieth of the width, 2 pixels below 40.
  EXPECT_EQ(SyntheticVideoSource::barWidth(1280), 64);
  EXPECT_EQ(SyntheticVideoSource::barWidth(1440), 72);
  EXPECT_EQ(SyntheticVideoSource::barWidth(40), 2);
  EXPECT_EQ(SyntheticVideoSource::barWidth(30), 2);
}

TEST(SyntheticSourcesTest, SuspendedCamerasAreReadFromACommaSeparatedTrimmedList) {
  using Faults = std::map<std::string, Fault>;
  EXPECT_EQ(suspendedFrom("synthetic-a, synthetic-c"),
            (Faults{{"synthetic-a", Fault::suspended}, {"synthetic-c", Fault::suspended}}));
  EXPECT_EQ(suspendedFrom(" synthetic-b\t,,synthetic-d ,"),
            (Faults{{"synthetic-b", Fault::suspended}, {"synthetic-d", Fault::suspended}}));
  // One fault per id, however often it is listed.
  EXPECT_EQ(suspendedFrom("synthetic-a,synthetic-a , synthetic-a"), (Faults{{"synthetic-a", Fault::suspended}}));
  // Blank pieces name no camera.
  EXPECT_EQ(suspendedFrom(""), Faults{});
  EXPECT_EQ(suspendedFrom(" , ,"), Faults{});
  EXPECT_EQ(SyntheticSources::initialFaults(*platform::UserDefaults::inMemory()), Faults{});

  // The store answers for the listed cameras only, until a fault is cleared.
  SyntheticSources::resetFaults(suspendedFrom("synthetic-a , synthetic-c"));
  EXPECT_EQ(SyntheticSources::fault("synthetic-a"), Fault::suspended);
  EXPECT_EQ(SyntheticSources::fault("synthetic-c"), Fault::suspended);
  EXPECT_EQ(SyntheticSources::fault("synthetic-b"), std::nullopt);
  EXPECT_EQ(SyntheticSources::fault(" synthetic-a"), std::nullopt);
  SyntheticSources::clearFault("synthetic-a");
  EXPECT_EQ(SyntheticSources::fault("synthetic-a"), std::nullopt);
  SyntheticSources::resetFaults();
}

}  // namespace
}  // namespace quarzadel
