// Which format a camera of the mixer takes for a frame rate, a preset and the
// recovery from a format it cannot stream in.
#include <gtest/gtest.h>

#include "Medley/Mixer/media_mixer_test_support.h"
#include "Medley/Util/virtual_run.h"

using medley::MediaMixer;
using medley::VideoDeviceUnit;
using medleytest::runNow;
using mixertest::FakeCamera;
using platform::FrameRateRange;

namespace {

constexpr uint32_t kNV12 = platform::v4l2FourCC("NV12");

struct CameraFormatRulesTest : ::testing::Test {
  std::shared_ptr<platform::VirtualRuntime> rt = platform::VirtualRuntime::make();
  std::shared_ptr<MediaMixer> mixer = std::make_shared<MediaMixer>(MediaMixer::CaptureSessionMode::single, false, rt);
  std::shared_ptr<FakeCamera> camera = std::make_shared<FakeCamera>();

  // 640x480 up to 30, 1280x720 up to 60, 1920x1080 at 30.
  void SetUp() override {
    camera->formats_ = {
        {kNV12, 640, 480, false, {FrameRateRange::between({1, 30}, {1, 5})}},
        {kNV12, 1280, 720, false, {FrameRateRange::between({1, 60}, {1, 5})}},
        {kNV12, 1920, 1080, false, {FrameRateRange::fixed({1, 30})}},
    };
  }
  void TearDown() override { runNow(rt, mixer->stopRunning()); }
  void recover() {
    runNow(rt, mixer->sessionRuntimeErrorOccured({medley::CaptureRuntimeError::Code::unsupportedDeviceActiveFormat,
                                                  "format", mixer->videoIO()->devices().at(0)}));
  }
};

}  // namespace

TEST_F(CameraFormatRulesTest, ThePresetPicksTheCamerasSizeAtAttachAndOnChange) {
  runNow(rt, mixer->attachVideo(camera, 0));
  EXPECT_EQ(camera->active, 1u) << "the default preset is 1280x720";
  EXPECT_EQ(camera->duration, (platform::FrameDuration{100, 3000}));
  runNow(rt, mixer->setSessionPreset("1920x1080"));
  EXPECT_EQ(camera->active, 2u);
  const int configures = camera->configureCount;
  runNow(rt, mixer->setSessionPreset("1920x1080"));
  runNow(rt, mixer->setSessionPreset("no size"));
  EXPECT_EQ(camera->configureCount, configures);
  EXPECT_EQ(mixer->sessionPreset(), "no size");
  runNow(rt, mixer->setSessionPreset("640x480"));
  EXPECT_EQ(camera->active, 0u);

  // The caller's configuration comes after the preset.
  runNow(rt, mixer->attachVideo(camera, 0, [](VideoDeviceUnit& unit) { unit.setFrameRate(60); }));
  EXPECT_EQ(camera->active, 1u);
}

TEST_F(CameraFormatRulesTest, ARateTheActiveFormatLacksMovesToALargerFormatThatHasIt) {
  runNow(rt, mixer->setSessionPreset("640x480"));
  runNow(rt, mixer->attachVideo(camera, 0));
  ASSERT_EQ(camera->active, 0u);
  runNow(rt, mixer->setFrameRate(60));
  EXPECT_EQ(camera->active, 1u);
  EXPECT_EQ(camera->duration, (platform::FrameDuration{100, 6000}));
  EXPECT_DOUBLE_EQ(mixer->videoIO()->devices().at(0)->frameRate(), 60);
  // 29.97 is 30 to a driver's fraction.
  runNow(rt, mixer->setFrameRate(29.97));
  EXPECT_EQ(camera->active, 1u);
  EXPECT_THROW(runNow(rt, mixer->setFrameRate(90)), VideoDeviceUnit::Error);
  EXPECT_DOUBLE_EQ(runNow(rt, mixer->frameRate()), 29.97);
}

TEST_F(CameraFormatRulesTest, RecoveryKeepsAFormatOfThePresetsSizeAndOtherwiseMovesToIt) {
  runNow(rt, mixer->attachVideo(camera, 0));
  runNow(rt, mixer->startRunning());
  ASSERT_EQ(camera->active, 1u);
  const int configures = camera->configureCount;
  recover();
  EXPECT_EQ(camera->configureCount, configures) << "1280x720 is active already";

  camera->active = 0;
  recover();
  EXPECT_EQ(camera->active, 1u);
  EXPECT_EQ(camera->duration, (platform::FrameDuration{100, 3000}));
}
