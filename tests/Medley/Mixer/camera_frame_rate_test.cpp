// The frame rate a camera of the mixer is asked for when its format changes,
// on a camera that lists single rates only (as webcams and the kernel's
// virtual camera do): the rate it offers nearest to the mixer's, never the
// interval an earlier program left on the device.
#include <gtest/gtest.h>

#include "Medley/Mixer/media_mixer_test_support.h"
#include "Medley/Util/virtual_run.h"

using medley::MediaMixer;
using medley::VideoDeviceUnit;
using medleytest::runNow;
using mixertest::FakeCamera;
using platform::FrameDuration;
using platform::FrameRateRange;

namespace {

constexpr uint32_t kSingleRateNV12 = platform::v4l2FourCC("NV12");

std::vector<FrameRateRange> singleRates(std::initializer_list<FrameDuration> durations) {
  std::vector<FrameRateRange> ranges;
  for (const auto& d : durations) ranges.push_back(FrameRateRange::fixed(d));
  return ranges;
}

struct CameraFrameRateTest : ::testing::Test {
  std::shared_ptr<platform::VirtualRuntime> rt = platform::VirtualRuntime::make();
  std::shared_ptr<MediaMixer> mixer = std::make_shared<MediaMixer>(MediaMixer::CaptureSessionMode::single, false, rt);
  std::shared_ptr<FakeCamera> camera = std::make_shared<FakeCamera>();

  // 352x288 at 20 and 40 (30 lies halfway), 640x480 up to 25, 1280x720 up to 12.5.
  void SetUp() override {
    camera->formats_ = {
        {kSingleRateNV12, 352, 288, false, singleRates({{1, 20}, {1, 40}})},
        {kSingleRateNV12, 640, 480, false, singleRates({{1, 1}, {1, 5}, {2, 25}, {1, 25}})},
        {kSingleRateNV12, 1280, 720, false, singleRates({{1, 1}, {1, 5}, {2, 25}})},
    };
  }
  void TearDown() override { runNow(rt, mixer->stopRunning()); }
  std::shared_ptr<VideoDeviceUnit> unit() { return mixer->videoIO()->devices().at(0); }
};

}  // namespace

TEST_F(CameraFrameRateTest, APresetAsksForTheNearestRateTheFormatOffers) {
  camera->duration = {1, 1};  // left at 1 fps by an earlier program
  runNow(rt, mixer->setSessionPreset("640x480"));
  runNow(rt, mixer->attachVideo(camera, 0));
  EXPECT_EQ(camera->active, 1u);
  EXPECT_EQ(camera->duration, (FrameDuration{1, 25}));

  runNow(rt, mixer->setSessionPreset("1280x720"));
  EXPECT_EQ(camera->active, 2u);
  EXPECT_EQ(camera->duration, (FrameDuration{2, 25})) << "12.5 fps, as the driver gives it";

  // Equally near, the faster rate.
  runNow(rt, mixer->setSessionPreset("352x288"));
  EXPECT_EQ(camera->active, 0u);
  EXPECT_EQ(camera->duration, (FrameDuration{1, 40}));
  // The wanted rate stays the mixer's: back at 640x480 it is 25 again, not 40.
  runNow(rt, mixer->setSessionPreset("640x480"));
  EXPECT_EQ(camera->duration, (FrameDuration{1, 25}));
  EXPECT_DOUBLE_EQ(unit()->frameRate(), 30);
}

TEST_F(CameraFrameRateTest, AFormatActiveAlreadyAtAnotherRateIsAskedForItsNearestRate) {
  // Opened on its one format, 1280x720, at 1 fps: the preset's format is active already.
  camera->formats_ = {camera->formats_[2]};
  camera->duration = {1, 1};
  runNow(rt, mixer->attachVideo(camera, 0));
  EXPECT_EQ(camera->active, 0u);
  EXPECT_EQ(camera->duration, (FrameDuration{2, 25}));
  EXPECT_EQ(camera->configureCount, 1);

  // At that rate already, or on a device that reports no rate (it has no rate
  // control to ask), nothing is configured.
  auto other = std::make_shared<FakeCamera>();
  other->formats_ = camera->formats_;
  runNow(rt, mixer->attachVideo(other, 0));
  EXPECT_EQ(other->configureCount, 0);
  runNow(rt, mixer->attachVideo(camera, 0));
  EXPECT_EQ(camera->configureCount, 1);
}

TEST_F(CameraFrameRateTest, RecoveryMovesToThePresetsFormatAtItsNearestRate) {
  runNow(rt, mixer->setSessionPreset("640x480"));
  runNow(rt, mixer->attachVideo(camera, 0));
  runNow(rt, mixer->startRunning());
  camera->active = 2;
  camera->duration = {1, 1};
  runNow(rt, mixer->sessionRuntimeErrorOccured(
                 {medley::CaptureRuntimeError::Code::unsupportedDeviceActiveFormat, "format", unit()}));
  EXPECT_EQ(camera->active, 1u);
  EXPECT_EQ(camera->duration, (FrameDuration{1, 25}));
}

TEST_F(CameraFrameRateTest, ARateTheFormatDoesNotOfferIsRefusedAndKeepsTheNearestOne) {
  runNow(rt, mixer->setSessionPreset("640x480"));
  runNow(rt, mixer->attachVideo(camera, 0));
  ASSERT_EQ(camera->duration, (FrameDuration{1, 25}));
  EXPECT_THROW(runNow(rt, mixer->setFrameRate(30)), VideoDeviceUnit::Error);
  EXPECT_EQ(camera->duration, (FrameDuration{1, 25}));
  EXPECT_EQ(camera->active, 1u);
  // A rate it lists is taken as asked.
  runNow(rt, mixer->setFrameRate(5));
  EXPECT_EQ(camera->duration, (FrameDuration{100, 500}));
  EXPECT_DOUBLE_EQ(unit()->frameRate(), 5);
  // The unit's rate is now 5: a later preset asks for the rate nearest to it.
  runNow(rt, mixer->setSessionPreset("1280x720"));
  EXPECT_EQ(camera->duration, (FrameDuration{100, 500}));
}
