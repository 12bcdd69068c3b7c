#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>

#include "Platform/Dispatch/VirtualRuntime.h"
#include "Quarzadel/Capture/CameraCapture.h"
#include "Quarzadel/Capture/capture_test_support.h"
#include "Quarzadel/Program/ProgramVideo.h"
#include "Quarzadel/Program/program_test_support.h"

namespace quarzadel {
namespace {

using platform::VideoCaptureError;
using Kind = platform::VideoCaptureEvent::Kind;
using testing::FakeCameraDevice;

class CameraCaptureTest : public ::testing::Test {
 protected:
  void make(StreamConfig target = {}) {
    camera = CameraCapture::make(device, target, sessionQueue);
  }
  void start() {
    camera->start(delivery, [this](platform::PixelBufferRef p, double t) { frames.push_back({p, t}); },
                  [this](const std::string& reason) { failures.push_back(reason); });
    settle();
  }
  void settle() { rt->runUntilIdle(); }
  std::string summary() const { return camera->formatSummary(); }
  std::vector<std::string> linesWith(const std::string& text) {
    std::vector<std::string> r;
    for (const auto& l : log.sessionLines())
      if (l.find(text) != std::string::npos) r.push_back(l);
    return r;
  }
  platform::PixelBufferRef picture() { return testing::flatPicture(64, 36, {100, 128, 128}); }

  testing::LogCapture log;
  std::shared_ptr<platform::VirtualRuntime> rt = platform::VirtualRuntime::make();
  std::shared_ptr<platform::SerialQueue> sessionQueue = platform::SerialQueue::make("camera-sessions", rt);
  std::shared_ptr<platform::SerialQueue> delivery = platform::SerialQueue::make("program", rt);
  std::shared_ptr<FakeCameraDevice> device = std::make_shared<FakeCameraDevice>();
  std::shared_ptr<CameraCapture> camera;
  std::vector<std::pair<platform::PixelBufferRef, double>> frames;
  std::vector<std::string> failures;
};

// The best format for the target, on the interval the camera offers: a rate above
// the camera's best is capped there, a variable range gets only its shortest.
TEST_F(CameraCaptureTest, StartsOnTheBestFormatAndLogsIt) {
  struct Row {
    const char* listing;
    double fps;
    platform::FrameDuration duration;
    std::string summary;
  };
  for (const auto& r : std::vector<Row>{{platform::testing::kUSBWebcam, 30, {1, 30}, "1920x1080 @ 30 fps"},
                                        {platform::testing::kUSBWebcam, 60, {1, 60}, "1280x720 @ 60 fps"},
                                        {platform::testing::kLaptopCamera, 60, {1000, 29970}, "1280x720 @ 30 fps"},
                                        {platform::testing::kStepwiseCamera, 30, {1000, 30000}, "1920x1080 @ 30 fps"}}) {
    SCOPED_TRACE(r.summary);
    device = std::make_shared<FakeCameraDevice>("Desk Camera", r.listing);
    StreamConfig target;
    target.frameRate = r.fps;
    make(target);
    EXPECT_EQ(device->opens, 0);  // nothing touches the device before start
    start();
    EXPECT_TRUE(device->streaming);
    EXPECT_EQ(device->formatChanges, 1);  // the second choice, once streaming, changes nothing
    EXPECT_EQ(device->duration, r.duration);
    EXPECT_EQ(summary(), r.summary);
    EXPECT_EQ(linesWith("Camera started").back(), "[INFO] [CameraCapture] Camera started: Desk Camera [" + r.summary + "]");
  }
}

TEST_F(CameraCaptureTest, ARefusedFormatKeepsTheDevicesOwnAndIsOnlyADebugLine) {
  device->active = 0;  // the driver's YUYV 640x480
  device->duration = {1, 30};
  device->configureError = VideoCaptureError(VideoCaptureError::Kind::busy, EBUSY, "Device or resource busy");
  make();
  start();
  EXPECT_TRUE(failures.empty());
  EXPECT_EQ(summary(), "640x480 @ 30 fps");
  std::vector<std::string> debug;
  for (const auto& entry : log.entries())
    if (entry.type == platform::LogType::debug) debug.push_back(entry.message);
  EXPECT_EQ(std::count(debug.begin(), debug.end(), "Keeping default format for Desk Camera: Device or resource busy"),
            2);
  EXPECT_EQ(linesWith("Keeping default").size(), 0u);  // system log only
  EXPECT_EQ(linesWith("Camera started").size(), 1u);
}

// A change of the program's settings that the device takes is logged; one whose
// restart the driver refuses ends the stream: the camera's stop is told once, so
// that another source takes over, and no reconfiguration is logged.
TEST_F(CameraCaptureTest, AFormatChangeThatCannotRestartTheStreamIsOneStopAndNoReconfiguration) {
  make();
  start();
  StreamConfig faster;
  faster.frameRate = 60;
  camera->apply(faster);
  settle();
  EXPECT_EQ(linesWith("reconfigured"),
            std::vector<std::string>{"[INFO] [CameraCapture] Camera Desk Camera reconfigured: 1280x720 @ 60 fps"});

  device->restartError = VideoCaptureError(VideoCaptureError::Kind::busy, EBUSY, "Device or resource busy");
  camera->apply(StreamConfig{});
  settle();
  EXPECT_EQ(failures, std::vector<std::string>{"Desk Camera stopped: Device or resource busy"});
  EXPECT_EQ(linesWith("Camera failure"),
            std::vector<std::string>{"[WARN] [CameraCapture] Camera failure: Desk Camera stopped: Device or resource busy"});
  EXPECT_EQ(linesWith("reconfigured").size(), 1u);
  EXPECT_FALSE(device->streaming);
}

// A change the camera refuses keeps it streaming as it was: the reconfiguration
// is logged with the format it kept, and nothing fails.
TEST_F(CameraCaptureTest, AFormatChangeTheCameraRefusesIsLoggedWithTheFormatItKeeps) {
  make();
  start();
  device->configureError = VideoCaptureError(VideoCaptureError::Kind::other, EINVAL, "Invalid argument");
  StreamConfig faster;
  faster.frameRate = 60;
  camera->apply(faster);
  settle();
  EXPECT_TRUE(failures.empty());
  EXPECT_FALSE(camera->hasFailed());
  EXPECT_TRUE(device->streaming);
  EXPECT_EQ(linesWith("reconfigured"),
            std::vector<std::string>{"[INFO] [CameraCapture] Camera Desk Camera reconfigured: 1920x1080 @ 30 fps"});
  std::vector<std::string> debug;
  for (const auto& entry : log.entries())
    if (entry.type == platform::LogType::debug) debug.push_back(entry.message);
  EXPECT_EQ(debug, std::vector<std::string>{"Keeping default format for Desk Camera: Invalid argument"});
}

// A camera unplugged while its format changes cannot restart: that is its
// disconnection, told once, and no reconfiguration.
TEST_F(CameraCaptureTest, ACameraUnpluggedDuringAFormatChangeIsToldOnceAsDisconnected) {
  make();
  start();
  device->restartError = VideoCaptureError::fromErrno(ENODEV);
  StreamConfig faster;
  faster.frameRate = 60;
  camera->apply(faster);
  settle();
  EXPECT_EQ(failures, std::vector<std::string>{"Desk Camera was disconnected."});
  EXPECT_EQ(linesWith("Camera failure"),
            std::vector<std::string>{"[WARN] [CameraCapture] Camera failure: Desk Camera was disconnected."});
  EXPECT_TRUE(linesWith("reconfigured").empty());
  bool toldStop = false;
  for (const auto& entry : log.entries()) {
    EXPECT_EQ(entry.message.find("Keeping default format"), std::string::npos) << "the camera kept nothing";
    toldStop |= entry.type == platform::LogType::debug && entry.message == "Desk Camera was disconnected.";
  }
  EXPECT_TRUE(toldStop);
}

TEST_F(CameraCaptureTest, FramesArriveOnTheDeliveryQueueWithHostTimesAndNoBacklog) {
  make();
  start();
  device->frame(picture(), platform::MediaTime::fromNanos(platform::seconds(1000.5)));
  settle();
  // A driver stamp off the host clock (invalid) is taken at arrival.
  device->frame(picture(), platform::MediaTime::invalid());
  settle();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_DOUBLE_EQ(frames[0].second, 1000.5);
  EXPECT_DOUBLE_EQ(frames[1].second, rt->nowSeconds());

  // While the consumer is busy only one frame waits; the rest are dropped.
  for (int k = 0; k < 5; ++k) device->frame(picture(), platform::MediaTime::fromNanos(platform::seconds(1001 + k)));
  settle();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_DOUBLE_EQ(frames[2].second, 1001);
  device->frame(picture(), platform::MediaTime::fromNanos(platform::seconds(1007)));
  settle();
  EXPECT_EQ(frames.size(), 4u);

  // After stop nothing is delivered and the device is released.
  camera->stop();
  device->frame(picture(), platform::MediaTime::fromNanos(platform::seconds(1008)));
  settle();
  EXPECT_EQ(frames.size(), 4u);
  EXPECT_FALSE(device->isOpen);
  // Teardown happens even when the camera is released right after its stop.
  device = std::make_shared<FakeCameraDevice>();
  make();
  start();
  camera->stop();
  camera.reset();
  settle();
  EXPECT_FALSE(device->streaming);
  EXPECT_EQ(device->closes, 1);
}

struct StartFailure {
  VideoCaptureError error;
  bool atOpen;
  std::string sentence;
};

// Tests are named by their parameters (the default would be their bytes,
// pointers included, which change from build to build).
std::string kindName(VideoCaptureError::Kind kind) {
  switch (kind) {
    case VideoCaptureError::Kind::permissionDenied: return "PermissionDenied";
    case VideoCaptureError::Kind::busy: return "Busy";
    case VideoCaptureError::Kind::disconnected: return "Disconnected";
    case VideoCaptureError::Kind::noUsableFormat: return "NoUsableFormat";
    case VideoCaptureError::Kind::other: return "Other";
  }
  return "Unknown";
}
void PrintTo(const StartFailure& p, std::ostream* out) {
  *out << p.error.what() << (p.atOpen ? " at open" : " at stream start");
}

class CameraCaptureStartFailureTest : public CameraCaptureTest, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(CameraCaptureStartFailureTest, EachStartFailureIsOneSentenceOnce) {
  const auto& p = GetParam();
  (p.atOpen ? device->openError : device->streamError) = p.error;
  make();
  start();
  EXPECT_EQ(failures, std::vector<std::string>{p.sentence});
  EXPECT_EQ(linesWith("Camera failure"), std::vector<std::string>{"[WARN] [CameraCapture] Camera failure: " + p.sentence});
  EXPECT_FALSE(device->streaming);
  EXPECT_TRUE(camera->hasFailed());
  EXPECT_TRUE(linesWith("Camera started").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Causes, CameraCaptureStartFailureTest,
    ::testing::Values(
        StartFailure{VideoCaptureError::fromErrno(EACCES), true,
                     "Quarzadel isn't allowed to use the camera. Turn it on in System Settings \u2192 Privacy & "
                     "Security \u2192 Camera."},
        StartFailure{VideoCaptureError::fromErrno(EIO), true, "Desk Camera couldn't start: Input/output error"},
        StartFailure{VideoCaptureError::fromErrno(EBUSY), false, "Desk Camera can't be used right now."}),
    [](const ::testing::TestParamInfo<StartFailure>& info) {
      return (info.param.atOpen ? "Open" : "Stream") + kindName(info.param.error.kind);
    });

TEST_F(CameraCaptureTest, ADeviceWithoutUsableFormatsCannotDeliverVideo) {
  device->replaceFormats({});
  make();
  start();
  EXPECT_EQ(failures, std::vector<std::string>{"Desk Camera can't deliver video."});
  EXPECT_FALSE(device->isOpen);
}

TEST_F(CameraCaptureTest, AFailureQueuedBeforeStopIsLoggedOnceWithoutACallbackAndOneAfterItNotAtAll) {
  make();
  start();
  device->event(Kind::disconnected);  // queued on the delivery queue
  camera->stop();
  settle();
  EXPECT_TRUE(failures.empty());
  EXPECT_TRUE(camera->hasFailed());
  EXPECT_EQ(linesWith("Camera failure"),
            std::vector<std::string>{"[WARN] [CameraCapture] Camera failure: Desk Camera was disconnected."});

  device = std::make_shared<FakeCameraDevice>();
  make();
  start();
  camera->stop();
  device->event(Kind::disconnected);
  settle();
  EXPECT_FALSE(camera->hasFailed());
  EXPECT_EQ(linesWith("Camera failure").size(), 1u);
}

struct DeviceEvents {
  std::vector<std::pair<Kind, std::string>> events;
  std::vector<std::string> failures;  // what the caller hears; the warning lines say the same
  std::string warning = "";            // a warning that is no failure
};

std::string eventName(Kind kind) {
  switch (kind) {
    case Kind::disconnected: return "Disconnected";
    case Kind::runtimeError: return "RuntimeError";
    case Kind::interrupted: return "Interrupted";
  }
  return "Unknown";
}
void PrintTo(const DeviceEvents& p, std::ostream* out) {
  for (size_t i = 0; i < p.events.size(); ++i) {
    *out << (i ? ", then " : "") << eventName(p.events[i].first);
    if (!p.events[i].second.empty()) *out << " (" << p.events[i].second << ")";
  }
}

class CameraCaptureEventTest : public CameraCaptureTest, public ::testing::WithParamInterface<DeviceEvents> {};

// A running camera reports its first failure once; frames that still come are delivered.
TEST_P(CameraCaptureEventTest, TheFirstFailureIsReportedOnceAndAnInterruptionOnlyLogged) {
  const auto& p = GetParam();
  make();
  start();
  for (const auto& [kind, description] : p.events) device->event(kind, description);
  settle();
  EXPECT_EQ(failures, p.failures);
  std::vector<std::string> warnings;
  for (const auto& f : p.failures) warnings.push_back("[WARN] [CameraCapture] Camera failure: " + f);
  if (!p.warning.empty()) warnings.push_back("[WARN] [CameraCapture] " + p.warning);
  EXPECT_EQ(linesWith("[WARN]"), warnings);
  device->frame(picture(), platform::MediaTime::fromNanos(platform::seconds(1000)));
  settle();
  EXPECT_EQ(frames.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Events, CameraCaptureEventTest,
    ::testing::Values(
        DeviceEvents{{{Kind::runtimeError, "Input/output error"}, {Kind::disconnected, ""}, {Kind::runtimeError, ""}},
                     {"Desk Camera stopped: Input/output error"}},
        DeviceEvents{{{Kind::interrupted, "privacy control on"}}, {}, "Camera session interrupted: Desk Camera"}),
    [](const ::testing::TestParamInfo<DeviceEvents>& info) {
      std::string name;
      for (const auto& [kind, description] : info.param.events) name += eventName(kind);
      return name;
    });

// A camera that starts but never delivers holds nothing on the program's queue:
// the program goes on at its rate and reports the silent camera itself.
TEST_F(CameraCaptureTest, ASilentCameraNeverBlocksTheProgram) {
  StreamConfig config;
  config.resolution = StreamConfig::Resolution::hd720;
  auto video = ProgramVideo::make(config, Framing::automatic, CameraTransition::cut, rt);
  std::vector<ProgramVideo::Event> events;
  int outputs = 0;
  video->onEvent = [&](const ProgramVideo::Event& e) { events.push_back(e); };
  video->onOutput = [&](const platform::SampleBufferRef&) { ++outputs; };
  video->start();
  settle();
  auto silent = CameraCapture::make(device, config, sessionQueue);
  video->switchTo(silent);
  settle();
  rt->advance(platform::seconds(ProgramVideo::kPendingTimeout + 0.2));
  EXPECT_TRUE(device->streaming == false);  // the program stopped it
  EXPECT_GT(outputs, 200);                    // the slate went on at 30 fps
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), ProgramVideo::Event::switchFailed("v4l2:usb-0000:00:14.0-2", "Desk Camera",
                                                             "Desk Camera didn't send any video."));
  video->stop();
  settle();
}

}  // namespace
}  // namespace quarzadel
