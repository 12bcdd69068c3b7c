#include <gtest/gtest.h>

#include <thread>

#include "Medley/Mixer/audio_mixer_test_support.h"
#include "Medley/Mixer/media_mixer_test_support.h"
#include "Medley/Screen/ScreenTestSupport.h"
#include "Medley/Sources/Mixer/CaptureSession.h"
#include "Medley/Sources/Mixer/V4L2DeviceControls.h"
#include "Medley/Util/virtual_run.h"

using medley::MediaMixer;
using medley::VideoDeviceUnit;
using medley::VideoMixerSettings;
using medleytest::runNow;
using mixertest::FakeCamera;
using mixertest::FakeControls;
using mixertest::RecordingOutput;
using Control = medley::VideoDeviceControls::Control;
using medley::testing::frameAt;
using medley::testing::solidPicture;

namespace {

class FakeMicrophone final : public platform::AudioCapture {
 public:
  struct Session final : platform::AudioCaptureSession {
    explicit Session(FakeMicrophone& m) : mic(m) {}
    uint32_t channels() const override { return 1; }
    void stop() override { mic.handlers = {}; }
    FakeMicrophone& mic;
  };
  std::unique_ptr<platform::AudioCaptureSession> open(const std::string& id, Handlers h) override {
    ++opens;
    deviceID = id;
    handlers = std::move(h);
    return std::make_unique<Session>(*this);
  }
  int opens = 0;
  std::string deviceID;
  Handlers handlers;
};

struct CaptureControlTest : ::testing::Test {
  std::shared_ptr<platform::VirtualRuntime> rt = platform::VirtualRuntime::make();
  std::shared_ptr<MediaMixer> mixer = std::make_shared<MediaMixer>(MediaMixer::CaptureSessionMode::single, false, rt);
  std::shared_ptr<RecordingOutput> track0 = std::make_shared<RecordingOutput>(0, std::nullopt);
  std::shared_ptr<RecordingOutput> mixed = std::make_shared<RecordingOutput>(medley::kMixedTrack, medley::kMixedTrack);
  std::shared_ptr<FakeCamera> camera = std::make_shared<FakeCamera>();
  std::shared_ptr<FakeControls> controls = std::make_shared<FakeControls>();

  void SetUp() override {
    runNow(rt, mixer->addOutput(track0));
    runNow(rt, mixer->addOutput(mixed));
  }
  void TearDown() override {
    runNow(rt, mixer->stopRunning());
    EXPECT_EQ(runNow(rt, mixer->liveTaskCount()), 0u);
  }
  template <class F>
  MediaMixer::Error::Kind errorOf(F&& f) {
    try {
      f();
    } catch (const MediaMixer::Error& e) {
      return e.kind;
    }
    ADD_FAILURE() << "no MediaMixer::Error";
    return MediaMixer::Error::Kind::deviceNotFound;
  }
};

}  // namespace

TEST_F(CaptureControlTest, AnAttachedCameraStreamsWhileRunningIntoItsTrackAndTheMixedPicture) {
  runNow(rt, mixer->attachVideo(camera, 0, nullptr, controls));
  EXPECT_TRUE(camera->opened);
  EXPECT_FALSE(camera->streaming());
  runNow(rt, mixer->startRunning());
  EXPECT_TRUE(camera->streaming());
  EXPECT_TRUE(mixer->isCapturing());
  ASSERT_TRUE(camera->deliver(solidPicture(64, 48, 90), 1.5));
  rt->runUntilIdle();
  ASSERT_EQ(track0->pictures.size(), 1u);
  EXPECT_DOUBLE_EQ(track0->pictures[0]->presentationTime().seconds(), 1.5);
  EXPECT_EQ(mixed->pictures.size(), 1u);
  runNow(rt, mixer->stopRunning());
  EXPECT_FALSE(camera->streaming());
}

TEST_F(CaptureControlTest, AttachingReplacesOrDetachesTheTracksCamera) {
  runNow(rt, mixer->startRunning());
  runNow(rt, mixer->attachVideo(camera, 0));
  EXPECT_TRUE(camera->streaming());
  camera->deliver(solidPicture(64, 48, 90), 0);
  rt->runUntilIdle();
  EXPECT_EQ(mixer->videoInputFormats().size(), 1u);
  auto second = std::make_shared<FakeCamera>();
  runNow(rt, mixer->attachVideo(second, 0));
  EXPECT_FALSE(camera->streaming());
  EXPECT_TRUE(camera->closed);
  EXPECT_TRUE(second->streaming());
  EXPECT_TRUE(mixer->videoInputFormats().empty());
  runNow(rt, mixer->attachVideo(nullptr, 0));
  EXPECT_FALSE(second->streaming());
  EXPECT_TRUE(mixer->videoIO()->devices().empty());
  auto session = std::dynamic_pointer_cast<medley::CaptureSession>(mixer->session());
  ASSERT_TRUE(session);
  EXPECT_TRUE(session->units().empty());
}

TEST_F(CaptureControlTest, ManualModeAttachesNothingAndSucceeds) {
  auto manual = std::make_shared<MediaMixer>(MediaMixer::CaptureSessionMode::manual, false, rt);
  runNow(rt, manual->attachVideo(camera, 0));
  runNow(rt, manual->attachAudio(std::make_shared<FakeMicrophone>(), "", 0));
  EXPECT_FALSE(camera->opened);
  EXPECT_TRUE(manual->videoIO()->devices().empty());
  EXPECT_TRUE(manual->audioIO()->devices().empty());
}

TEST_F(CaptureControlTest, AttachFailuresAreFailedToAttachAndConfigureNeedsADevice) {
  camera->failOpen = true;
  EXPECT_EQ(errorOf([&] { runNow(rt, mixer->attachVideo(camera, 0)); }), MediaMixer::Error::Kind::failedToAttach);
  EXPECT_TRUE(mixer->videoIO()->devices().empty());

  mixer->session()->setMultiCamSessionEnabled(false);
  runNow(rt, mixer->attachVideo(std::make_shared<FakeCamera>(), 0));
  EXPECT_EQ(errorOf([&] { runNow(rt, mixer->attachVideo(std::make_shared<FakeCamera>(), 1)); }),
            MediaMixer::Error::Kind::failedToAttach);

  bool called = false;
  EXPECT_EQ(errorOf([&] { runNow(rt, mixer->configureVideoDevice(5, [&](VideoDeviceUnit&) { called = true; })); }),
            MediaMixer::Error::Kind::deviceNotFound);
  EXPECT_EQ(errorOf([&] { runNow(rt, mixer->configureAudioDevice(0, [&](medley::AudioDeviceUnit&) { called = true; })); }),
            MediaMixer::Error::Kind::deviceNotFound);
  EXPECT_FALSE(called);
}

TEST_F(CaptureControlTest, AThrowingConfigurationStillAttachesAndMirroringUsesTheFlipControl) {
  runNow(rt, mixer->attachVideo(camera, 0,
                                [](VideoDeviceUnit& unit) {
                                  unit.setVideoMirrored(true);
                                  throw std::runtime_error("no");
                                },
                                controls));
  ASSERT_EQ(mixer->videoIO()->devices().size(), 1u);
  EXPECT_EQ(controls->values[static_cast<int>(Control::horizontalFlip)], 1);
  runNow(rt, mixer->configureVideoDevice(0, [](VideoDeviceUnit& unit) { unit.setVideoMirrored(false); }));
  EXPECT_EQ(controls->values[static_cast<int>(Control::horizontalFlip)], 0);
}

TEST_F(CaptureControlTest, FrameRateChangesTheCameraOnlyInPassthrough) {
  runNow(rt, mixer->setSessionPreset("640x480"));
  runNow(rt, mixer->attachVideo(camera, 0));
  runNow(rt, mixer->setFrameRate(30));
  EXPECT_EQ(camera->active, 0u);
  EXPECT_EQ(camera->duration, (platform::FrameDuration{100, 3000}));
  runNow(rt, mixer->setFrameRate(60));  // the active format cannot: another one of the same size can
  EXPECT_EQ(camera->active, 1u);
  EXPECT_EQ(camera->duration, (platform::FrameDuration{100, 6000}));
  EXPECT_THROW(runNow(rt, mixer->setFrameRate(120)), VideoDeviceUnit::Error);
  EXPECT_DOUBLE_EQ(runNow(rt, mixer->frameRate()), 60);

  const int configures = camera->configureCount;
  runNow(rt, mixer->setVideoMixerSettings({VideoMixerSettings::Mode::offscreen, false, 0}));
  runNow(rt, mixer->setFrameRate(120));
  rt->runUntilIdle();
  EXPECT_EQ(camera->configureCount, configures);
  EXPECT_DOUBLE_EQ(runNow(rt, mixer->frameRate()), 120);
  EXPECT_EQ(mixer->displayLink()->preferredFramesPerSecond(), 120);
}

TEST_F(CaptureControlTest, TorchIsMappedToTheFlashControlAndReappliedOnEveryOrientation) {
  auto dark = std::make_shared<FakeControls>();
  dark->hasTorch = false;
  runNow(rt, mixer->attachVideo(camera, 0, nullptr, controls));
  runNow(rt, mixer->attachVideo(std::make_shared<FakeCamera>(), 1, nullptr, dark));
  runNow(rt, mixer->setTorchEnabled(true));
  EXPECT_TRUE(runNow(rt, mixer->isTorchEnabled()));
  EXPECT_EQ(controls->values[static_cast<int>(Control::torch)], 2);
  EXPECT_FALSE(dark->values[static_cast<int>(Control::torch)].has_value());
  const int sets = controls->sets[static_cast<int>(Control::torch)];
  runNow(rt, mixer->setVideoOrientation(medley::VideoOrientation::portrait));  // unchanged
  EXPECT_EQ(controls->sets[static_cast<int>(Control::torch)], sets + 1);
  runNow(rt, mixer->setTorchEnabled(false));
  EXPECT_EQ(controls->values[static_cast<int>(Control::torch)], 0);

  // Orientation maps to rotation where the device has it.
  controls->hasRotation = true;
  runNow(rt, mixer->setVideoOrientation(medley::VideoOrientation::landscapeRight));
  EXPECT_EQ(controls->values[static_cast<int>(Control::rotation)], 90);
  EXPECT_EQ(mixer->videoIO()->devices().at(1)->videoOrientation(), medley::VideoOrientation::landscapeRight);
  auto bare = std::make_shared<VideoDeviceUnit>(9, std::make_shared<FakeCamera>());
  EXPECT_FALSE(bare->isTorchModeSupported(medley::TorchMode::on));
  EXPECT_THROW(bare->setTorchMode(medley::TorchMode::on), VideoDeviceUnit::Error);
}

TEST_F(CaptureControlTest, DynamicRangeIsStoredEvenWhenTheCamerasRefuseIt) {
  runNow(rt, mixer->attachVideo(camera, 0));
  auto session = std::dynamic_pointer_cast<medley::CaptureSession>(mixer->session());
  const int batches = session->configurationCount();
  runNow(rt, mixer->setDynamicRangeMode(medley::DynamicRangeMode::sdr));
  EXPECT_EQ(session->configurationCount(), batches);
  runNow(rt, mixer->setDynamicRangeMode(medley::DynamicRangeMode::hdr));
  rt->runUntilIdle();
  EXPECT_EQ(runNow(rt, mixer->dynamicRangeMode()), medley::DynamicRangeMode::hdr);
  EXPECT_EQ(mixer->screen()->dynamicRangeMode(), medley::DynamicRangeMode::hdr);
  EXPECT_EQ(mixer->videoIO()->devices().at(0)->dynamicRangeMode(), medley::DynamicRangeMode::sdr);
}

TEST_F(CaptureControlTest, ARuntimeErrorRestartsTheStoppedCamera) {
  runNow(rt, mixer->attachVideo(camera, 0));
  runNow(rt, mixer->startRunning());
  EXPECT_EQ(camera->starts, 1);
  platform::VideoCaptureDevice::EventHandler event;
  {
    std::lock_guard lock(camera->mutex);
    event = camera->event;
  }
  event({platform::VideoCaptureEvent::Kind::runtimeError, "streaming broke"});
  rt->runUntilIdle();
  // It failed right after its start: the restart waits a second.
  EXPECT_EQ(camera->starts, 1);
  rt->advance(medley::CaptureSession::kFirstRestartPause);
  rt->runUntilIdle();
  EXPECT_EQ(camera->starts, 2);
}

TEST_F(CaptureControlTest, AMicrophoneIsOpenedWhileRunningAndItsSoundIsMixed) {
  auto mic = std::make_shared<FakeMicrophone>();
  runNow(rt, mixer->attachAudio(mic, "sine", 0));
  EXPECT_EQ(mic->opens, 1);  // checked at the attach and closed again
  EXPECT_FALSE(mic->handlers.onBuffer);
  runNow(rt, mixer->startRunning());
  ASSERT_EQ(mic->opens, 2);
  EXPECT_EQ(mic->deviceID, "sine");
  const platform::AudioFormat format(platform::CommonFormat::float32, 48000, 1, true);
  for (int i = 0; i < 8; ++i) mic->handlers.onBuffer(mixertest::tone(format, 440, 0.5, i * 960, 960), 10 + i * 0.02);
  rt->runUntilIdle();
  EXPECT_FALSE(mixed->sounds.empty());
  runNow(rt, mixer->setMonitoringEnabled(true));
  EXPECT_TRUE(mixer->audioIO()->monitor()->isRunning());
  runNow(rt, mixer->setMonitoringEnabled(true));
  runNow(rt, mixer->setMonitoringEnabled(false));
  EXPECT_FALSE(mixer->audioIO()->monitor()->isRunning());
  runNow(rt, mixer->attachAudio(nullptr, "", 0));
  EXPECT_FALSE(mic->handlers.onBuffer);
}

TEST_F(CaptureControlTest, AMicrophoneThatCannotOpenFailsItsAttachAndLeavesTheTrackEmpty) {
  struct Refusing final : platform::AudioCapture {
    std::unique_ptr<platform::AudioCaptureSession> open(const std::string&, Handlers) override {
      throw platform::AudioCaptureError({platform::AudioCaptureFailure::Kind::inputRefused, "taken"});
    }
  };
  runNow(rt, mixer->attachAudio(std::make_shared<FakeMicrophone>(), "sine", 0));
  EXPECT_EQ(errorOf([&] { runNow(rt, mixer->attachAudio(std::make_shared<Refusing>(), "taken", 0)); }),
            MediaMixer::Error::Kind::failedToAttach);
  EXPECT_TRUE(mixer->audioIO()->devices().empty());
  EXPECT_TRUE(std::dynamic_pointer_cast<medley::CaptureSession>(mixer->session())->units().empty());
}

// Captured pictures arrive on the camera's own thread while a caller appends
// on another: both go through the capture unit's one queue, so the video mixer
// sees one at a time and loses none (the sanitizer run checks the rest).
TEST_F(CaptureControlTest, ManualAppendsAndCapturedMediaNeverRaceOnOneMixer) {
  runNow(rt, mixer->attachVideo(camera, 0));
  runNow(rt, mixer->startRunning());
  constexpr int kEach = 300;
  std::thread device([&] {
    for (int i = 0; i < kEach; ++i) camera->deliver(solidPicture(16, 16, 1), i);
  });
  for (int i = 0; i < kEach; ++i) mixer->append(frameAt(i, 16, 16), 0);
  device.join();
  rt->runUntilIdle();
  EXPECT_EQ(track0->pictures.size(), 2u * kEach);
  EXPECT_EQ(mixed->pictures.size(), 2u * kEach);
}

TEST_F(CaptureControlTest, AnUnsupportedActiveFormatMovesToOneThatFitsThePresetOrChangesNothing) {
  runNow(rt, mixer->setSessionPreset("640x480"));
  runNow(rt, mixer->attachVideo(camera, 0));
  runNow(rt, mixer->startRunning());
  auto unit = mixer->videoIO()->devices().at(0);
  // 640x480 at 30 is active already: no change, no restart.
  runNow(rt, mixer->sessionRuntimeErrorOccured(
                 {medley::CaptureRuntimeError::Code::unsupportedDeviceActiveFormat, "format", unit}));
  EXPECT_EQ(camera->configureCount, 0);
  // At 60 the other 640x480 format is the first of the preset's size that can.
  runNow(rt, mixer->setVideoMixerSettings({VideoMixerSettings::Mode::offscreen, false, 0}));
  runNow(rt, mixer->setFrameRate(60));
  runNow(rt, mixer->sessionRuntimeErrorOccured(
                 {medley::CaptureRuntimeError::Code::unsupportedDeviceActiveFormat, "format", unit}));
  EXPECT_EQ(camera->active, 1u);
  EXPECT_EQ(camera->duration, (platform::FrameDuration{100, 6000}));
}

namespace {

void deviceEvent(FakeCamera& camera, platform::VideoCaptureEvent::Kind kind) {
  platform::VideoCaptureDevice::EventHandler event;
  {
    std::lock_guard lock(camera.mutex);
    event = camera.event;
  }
  ASSERT_TRUE(event);
  event({kind, "from the device"});
}

}  // namespace

TEST_F(CaptureControlTest, ThePrivacySwitchInterruptsTheSessionUntilItIsOffAgain) {
  controls->privacyOn = false;
  runNow(rt, mixer->attachVideo(camera, 0, nullptr, controls));
  EXPECT_EQ(controls->watches, 0) << "watched only while capturing";
  auto first = std::make_unique<medleytest::Collector<bool>>(rt, mixer->isInturreped());
  runNow(rt, mixer->startRunning());
  EXPECT_EQ(controls->watches, 1);
  auto session = std::dynamic_pointer_cast<medley::CaptureSession>(mixer->session());

  controls->setPrivacy(true);
  rt->runUntilIdle();
  controls->setPrivacy(true);
  rt->runUntilIdle();
  EXPECT_EQ(first->values(), (std::vector<bool>{false, true}));
  EXPECT_TRUE(session->isInterrupted());
  EXPECT_TRUE(mixer->videoIO()->devices().at(0)->isInterrupted());
  // Streaming goes on: a blinded camera still delivers, and it is no failure.
  EXPECT_TRUE(camera->streaming());
  EXPECT_EQ(camera->starts, 1);

  controls->setPrivacy(false);
  rt->runUntilIdle();
  EXPECT_EQ(first->values(), (std::vector<bool>{false, true, false}));
  EXPECT_FALSE(session->isInterrupted());

  // A failure restarts the camera with a new watch; the switch, still on, keeps
  // the interruption without a false in between.
  controls->setPrivacy(true);
  rt->runUntilIdle();
  deviceEvent(*camera, platform::VideoCaptureEvent::Kind::runtimeError);
  rt->advance(medley::CaptureSession::kFirstRestartPause);
  rt->runUntilIdle();
  EXPECT_EQ(camera->starts, 2);
  EXPECT_EQ(controls->watches, 1);
  EXPECT_EQ(first->values(), (std::vector<bool>{false, true, false, true}));

  // A later reader starts with the state as it stands; the earlier one ends.
  medleytest::Collector<bool> second(rt, mixer->isInturreped());
  rt->runUntilIdle();
  EXPECT_TRUE(first->ended());
  EXPECT_EQ(second.values(), (std::vector<bool>{true}));

  // Stopping ends the interruption and the watch; the switch then tells nothing.
  runNow(rt, mixer->stopRunning());
  EXPECT_EQ(controls->watches, 0);
  controls->setPrivacy(false);
  controls->setPrivacy(true);
  rt->runUntilIdle();
  EXPECT_EQ(second.values(), (std::vector<bool>{true, false}));
  EXPECT_FALSE(session->isInterrupted());
}

TEST_F(CaptureControlTest, AnyBlindedCameraInterruptsUntilEveryOneIsFreeOrDetached) {
  controls->privacyOn = true;  // already on when capture starts
  auto other = std::make_shared<FakeCamera>();
  auto otherControls = std::make_shared<FakeControls>();
  otherControls->privacyOn = false;
  runNow(rt, mixer->attachVideo(camera, 0, nullptr, controls));
  runNow(rt, mixer->attachVideo(other, 1, nullptr, otherControls));
  medleytest::Collector<bool> interrupted(rt, mixer->isInturreped());
  runNow(rt, mixer->startRunning());
  rt->runUntilIdle();
  EXPECT_EQ(interrupted.values(), (std::vector<bool>{false, true}));

  otherControls->setPrivacy(true);
  controls->setPrivacy(false);
  rt->runUntilIdle();
  EXPECT_EQ(interrupted.values(), (std::vector<bool>{false, true})) << "track 1 still blinded";

  runNow(rt, mixer->attachVideo(nullptr, 1));
  rt->runUntilIdle();
  EXPECT_EQ(interrupted.values(), (std::vector<bool>{false, true, false}));
  EXPECT_EQ(otherControls->watches, 0);
  otherControls->setPrivacy(false);
  otherControls->setPrivacy(true);
  rt->runUntilIdle();
  EXPECT_EQ(interrupted.values(), (std::vector<bool>{false, true, false}));
}

TEST_F(CaptureControlTest, ACameraWithoutAPrivacyControlIsNeverInterrupted) {
  runNow(rt, mixer->attachVideo(camera, 0, nullptr, controls));
  medleytest::Collector<bool> interrupted(rt, mixer->isInturreped());
  runNow(rt, mixer->startRunning());
  EXPECT_EQ(controls->watches, 0);
  // The driver's own one-sided report (no "off" follows it) neither
  // interrupts nor restarts.
  deviceEvent(*camera, platform::VideoCaptureEvent::Kind::interrupted);
  rt->runUntilIdle();
  EXPECT_EQ(interrupted.values(), (std::vector<bool>{false}));
  EXPECT_EQ(camera->starts, 1);

  medley::V4L2DeviceControls none("/dev/null");
  EXPECT_FALSE(none.privacy());
  EXPECT_FALSE(none.watchPrivacy([](bool) {}));
}
