#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "Medley/Mixer/media_mixer_test_support.h"
#include "Medley/Sources/Mixer/CaptureSession.h"
#include "Medley/Sources/Mixer/NullCaptureSession.h"
#include "Medley/Util/virtual_run.h"
#include "Platform/Capture/V4L2Device.h"
#include "Platform/Capture/VideoCaptureDevices.h"

using medley::CaptureRuntimeError;
using medley::CaptureSession;
using medley::NullCaptureSession;
using medleytest::Collector;

namespace {

struct CountingUnit final : medley::DeviceUnit {
  uint8_t track() const override { return 0; }
  void startCapturing() override {
    ++starts;
    capturing = !failsToStart;
  }
  void stopCapturing() override {
    ++stops;
    capturing = false;
  }
  bool isCapturing() const override { return capturing; }
  int starts = 0, stops = 0;
  bool capturing = false;
  bool failsToStart = false;  // and tells nobody: the test reports the failure
};

}  // namespace

TEST(CaptureSessionTest, UnitsStartWhileRunningAndThoseOfABatchStartWhenItEndsEvenWhenItThrows) {
  CaptureSession session;
  auto early = std::make_shared<CountingUnit>();
  session.attachCapture(early);
  session.attachCapture(nullptr);
  EXPECT_EQ(early->starts, 0);
  session.startRunning();
  session.startRunning();
  EXPECT_EQ(early->starts, 1);
  EXPECT_TRUE(session.isCapturing());

  auto late = std::make_shared<CountingUnit>();
  EXPECT_THROW(session.configuration([&](medley::CaptureSessionConvertible& s) {
    s.attachCapture(late);
    EXPECT_EQ(late->starts, 0);  // not inside the batch
    throw std::runtime_error("refused");
  }),
               std::runtime_error);
  EXPECT_EQ(late->starts, 1);
  EXPECT_EQ(session.units().size(), 2u);

  session.detachCapture(early);
  EXPECT_EQ(early->stops, 1);
  session.detachCapture(early);
  EXPECT_EQ(early->stops, 1);
  session.stopRunning();
  session.stopRunning();
  EXPECT_EQ(late->stops, 1);
  EXPECT_FALSE(session.isCapturing());

  // A unit that stopped by itself comes back when asked, only while running.
  session.startRunning();
  late->capturing = false;
  session.startRunningIfNeeded();
  EXPECT_EQ(late->starts, 3);
}

// A microphone tells a failed open from its own queue, after the start returned;
// a restart asked for meanwhile (another device's failure) must wait its pause.
TEST(CaptureSessionTest, AStartThatFailedIsNotRepeatedBeforeItsFailureIsTold) {
  auto rt = platform::VirtualRuntime::make();
  auto session = std::make_shared<CaptureSession>(rt);
  auto unit = std::make_shared<CountingUnit>();
  unit->failsToStart = true;
  session->attachCapture(unit);
  session->startRunning();
  EXPECT_EQ(unit->starts, 1);
  session->startRunningIfNeeded();
  EXPECT_EQ(unit->starts, 1) << "opened again before the first failure was told";

  session->deviceFailed(unit, {CaptureRuntimeError::Code::unknown, "input taken", unit}, false);
  rt->advance(CaptureSession::kFirstRestartPause - 1);
  rt->runUntilIdle();
  session->startRunningIfNeeded();
  EXPECT_EQ(unit->starts, 1);
  rt->advance(1);
  rt->runUntilIdle();
  EXPECT_EQ(unit->starts, 2) << "the timer restarts it after the pause without being asked";
  session->stopRunning();
}

TEST(CaptureSessionTest, RuntimeErrorsReachOnlyTheLastReaderUntilTheSessionStops) {
  auto rt = platform::VirtualRuntime::make();
  CaptureSession session;
  session.startRunning();
  Collector<CaptureRuntimeError> first(rt, session.runtimeError());
  Collector<CaptureRuntimeError> second(rt, session.runtimeError());
  session.sessionRuntimeError({CaptureRuntimeError::Code::unsupportedDeviceActiveFormat, "format", nullptr});
  rt->runUntilIdle();
  EXPECT_TRUE(first.ended());
  EXPECT_TRUE(first.values().empty());
  ASSERT_EQ(second.values().size(), 1u);
  EXPECT_EQ(second.values()[0].code, CaptureRuntimeError::Code::unsupportedDeviceActiveFormat);
  session.stopRunning();
  rt->runUntilIdle();
  EXPECT_TRUE(second.ended());
  ASSERT_TRUE(session.synchronizationClock());
  const auto t = platform::MediaTime::fromNanos(5);
  EXPECT_EQ(session.synchronizationClock()->hostTimeFromClockTime(t), t);
}

TEST(NullCaptureSessionTest, NeverRunsABatchAndEveryInterruptionReadYieldsFalseToOneSequence) {
  auto rt = platform::VirtualRuntime::make();
  NullCaptureSession session;
  bool called = false;
  session.configuration([&](medley::CaptureSessionConvertible&) { called = true; });
  EXPECT_FALSE(called);
  session.setSessionPreset("640x480");
  EXPECT_EQ(session.sessionPreset(), "1280x720");
  EXPECT_FALSE(session.synchronizationClock());
  Collector<bool> interrupted(rt, session.isInturreped());
  (void)session.isInturreped();
  rt->runUntilIdle();
  EXPECT_EQ(interrupted.values(), (std::vector<bool>{false, false}));
  session.startRunning();
  Collector<CaptureRuntimeError> errors(rt, session.runtimeError());
  session.stopRunning();
  rt->runUntilIdle();
  EXPECT_TRUE(errors.ended());
  EXPECT_FALSE(session.isRunning());
}

// A real camera (the vivid test driver in the capture machine) through the
// mixer's capture unit to an output. Skipped where there is none.
TEST(VideoCaptureUnitV4L2Test, ARealCameraDeliversPicturesToAnOutput) {
  const auto cameras = platform::listVideoCaptureDevices();
  if (cameras.empty()) GTEST_SKIP() << "no video capture device";
  auto mixer = std::make_shared<medley::MediaMixer>(medley::MediaMixer::CaptureSessionMode::single, false);
  auto output = std::make_shared<mixertest::RecordingOutput>(0, std::nullopt);
  platform::blockingWait(mixer->addOutput(output));
  try {
    platform::blockingWait(mixer->attachVideo(std::make_shared<platform::V4L2Device>(cameras.front()), 0));
  } catch (const std::exception& e) {
    GTEST_SKIP() << "camera cannot be opened: " << e.what();
  }
  platform::blockingWait(mixer->startRunning());
  for (int i = 0; i < 100 && output->pictureCount() < 5; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  platform::blockingWait(mixer->stopRunning());
  EXPECT_GE(output->pictureCount(), 5u);
}
