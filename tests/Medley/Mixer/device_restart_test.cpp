#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "Eventually.h"
#include "Medley/Mixer/media_mixer_test_support.h"
#include "Medley/Sources/Mixer/CaptureSession.h"
#include "Medley/Sources/Mixer/VideoDeviceUnit.h"
#include "Medley/Util/virtual_run.h"
#include "Platform/Concurrency/BlockingWait.h"

using medley::CaptureSession;
using medley::MediaMixer;
using medleytest::runNow;
using mixertest::FakeCamera;

namespace {

constexpr platform::Nanos kSecond = 1'000'000'000;

// A microphone that opens until told to refuse.
class RefusingMicrophone final : public platform::AudioCapture {
 public:
  struct Session final : platform::AudioCaptureSession {
    uint32_t channels() const override { return 1; }
    void stop() override {}
  };
  std::unique_ptr<platform::AudioCaptureSession> open(const std::string&, Handlers) override {
    ++opens;
    if (refuse) throw std::runtime_error("input taken");
    return std::make_unique<Session>();
  }
  std::atomic<int> opens{0};
  std::atomic<bool> refuse{false};
};

// A microphone whose capture the test ends, as the sound server's thread
// tells it; optionally before open returns.
class EndingMicrophone final : public platform::AudioCapture {
 public:
  struct Session final : platform::AudioCaptureSession {
    explicit Session(EndingMicrophone& m) : mic(m) {}
    uint32_t channels() const override { return 1; }
    void stop() override { ++mic.stops; }
    EndingMicrophone& mic;
  };
  std::unique_ptr<platform::AudioCaptureSession> open(const std::string&, Handlers h) override {
    ++opens;
    if (h.onFailure) handlers = h;
    if (endAtOpen && h.onFailure) h.onFailure({platform::AudioCaptureFailure::Kind::runtimeError, "ended at once"});
    return std::make_unique<Session>(*this);
  }
  void end() { handlers.onFailure({platform::AudioCaptureFailure::Kind::runtimeError, "capture ended"}); }
  int opens = 0;
  int stops = 0;
  bool endAtOpen = false;
  Handlers handlers;  // the last session's
};

// Holds a camera's start or stop inside the driver (under the camera's lock)
// until released; only the first call is held.
struct DriverGate {
  std::mutex mutex;
  std::condition_variable opened;
  bool open = false;
  std::atomic<bool> entered{false};
  ~DriverGate() { release(); }
  std::function<void()> hold() {
    return [this] {
      if (entered.exchange(true)) return;
      std::unique_lock lock(mutex);
      opened.wait(lock, [this] { return open; });
    };
  }
  bool reached() { return qztest::eventually([&] { return entered.load(); }, std::chrono::seconds(5)); }
  void release() {
    {
      std::lock_guard lock(mutex);
      open = true;
    }
    opened.notify_all();
  }
};

struct DeviceRestartTest : ::testing::Test {
  std::shared_ptr<platform::VirtualRuntime> rt = platform::VirtualRuntime::make();
  std::shared_ptr<MediaMixer> mixer = std::make_shared<MediaMixer>(MediaMixer::CaptureSessionMode::single, false, rt);
  std::shared_ptr<FakeCamera> camera = std::make_shared<FakeCamera>();

  void TearDown() override {
    runNow(rt, mixer->stopRunning());
    EXPECT_EQ(runNow(rt, mixer->liveTaskCount()), 0u);
  }
  // As the camera's thread tells a failure.
  void report(platform::VideoCaptureEvent::Kind kind) {
    platform::VideoCaptureDevice::EventHandler event;
    {
      std::lock_guard lock(camera->mutex);
      event = camera->event;
    }
    ASSERT_TRUE(event);
    event({kind, "camera failed"});
    rt->runUntilIdle();
  }
  void seconds(int n) {
    for (int i = 0; i < n; ++i) {
      rt->advance(kSecond);
      rt->runUntilIdle();
    }
  }
};

}  // namespace

TEST_F(DeviceRestartTest, ACameraFailingAtTheStartIsRetriedAtAGrowingPaceUntilTheMixerStops) {
  runNow(rt, mixer->attachVideo(camera, 0));
  medleytest::Collector<medley::CaptureRuntimeError> failures(rt, runNow(rt, mixer->deviceFailures()));
  camera->failStart = true;
  runNow(rt, mixer->startRunning());
  EXPECT_EQ(camera->starts, 1);
  ASSERT_EQ(failures.values().size(), 1u) << "the failure at the start reached nobody";
  EXPECT_EQ(failures.values()[0].device, mixer->videoIO()->devices().at(0));
  seconds(1);
  EXPECT_EQ(camera->starts, 2);
  seconds(1);
  EXPECT_EQ(camera->starts, 2);  // the pause has grown to two seconds
  seconds(1);
  EXPECT_EQ(camera->starts, 3);
  seconds(120);
  // 1, 2, 4, 8, 16, then every 30 seconds.
  EXPECT_LE(camera->starts, 10);
  EXPECT_GE(camera->starts, 7);

  // Once it starts, a failure after a steady run is retried after the first pause again.
  camera->failStart = false;
  seconds(30);
  ASSERT_TRUE(camera->streaming());
  const int started = camera->starts;
  seconds(20);
  report(platform::VideoCaptureEvent::Kind::runtimeError);
  EXPECT_EQ(camera->starts, started + 1);

  camera->failStart = true;
  report(platform::VideoCaptureEvent::Kind::runtimeError);
  runNow(rt, mixer->stopRunning());
  EXPECT_FALSE(runNow(rt, mixer->isRunning()));
  const int stopped = camera->starts;
  seconds(60);
  EXPECT_EQ(camera->starts, stopped);
}

TEST_F(DeviceRestartTest, AnUnpluggedCameraWaitsUntilItIsAttachedAgain) {
  runNow(rt, mixer->attachVideo(camera, 0));
  runNow(rt, mixer->startRunning());
  ASSERT_EQ(camera->starts, 1);
  report(platform::VideoCaptureEvent::Kind::disconnected);
  seconds(10);
  EXPECT_EQ(camera->starts, 1);
  runNow(rt, mixer->attachVideo(camera, 0));
  EXPECT_EQ(camera->starts, 2);
  EXPECT_TRUE(camera->streaming());
}

TEST_F(DeviceRestartTest, AMicrophoneThatCannotOpenIsRetriedAtMostOnceASecond) {
  auto mic = std::make_shared<RefusingMicrophone>();
  runNow(rt, mixer->attachAudio(mic, "default", 0));
  mic->refuse = true;
  const int before = mic->opens.load();
  runNow(rt, mixer->startRunning());
  rt->runUntilIdle();
  EXPECT_EQ(mic->opens.load(), before + 1);
  seconds(10);
  // 1, 2, 4 seconds after the first.
  EXPECT_EQ(mic->opens.load(), before + 4);
}

TEST(DeviceRestartThreadedTest, StopReturnsWithinASecondWhileDevicesKeepFailing) {
  auto mixer = std::make_shared<MediaMixer>(MediaMixer::CaptureSessionMode::single, false);
  auto camera = std::make_shared<FakeCamera>();
  auto mic = std::make_shared<RefusingMicrophone>();
  platform::blockingWait(mixer->attachVideo(camera, 0));
  platform::blockingWait(mixer->attachAudio(mic, "default", 0));
  camera->failStart = true;
  mic->refuse = true;
  const auto started = std::chrono::steady_clock::now();
  platform::blockingWait(mixer->startRunning());
  ASSERT_TRUE(qztest::eventually([&] { return mic->opens >= 2; }, std::chrono::seconds(2)));
  auto stop = platform::spawn(platform::Runtime::shared()->globalQueue(), mixer->stopRunning());
  ASSERT_TRUE(qztest::eventually([&] { return stop.isFinished(); }, std::chrono::seconds(1)));
  // Tried once at the start and at most once a second after it (the pace
  // itself is checked on virtual time; a loaded machine may pass a second here).
  const auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const int allowed = 1 + static_cast<int>(elapsed);
  std::lock_guard lock(camera->mutex);
  EXPECT_LE(camera->starts, allowed);
  EXPECT_LE(mic->opens.load(), 1 + allowed);  // the check at the attach, then the starts
}

TEST(DeviceRestartThreadedTest, ACameraStillStartingWhenTheMixerStopsEndsNotStreaming) {
  auto mixer = std::make_shared<MediaMixer>(MediaMixer::CaptureSessionMode::single, false);
  auto camera = std::make_shared<FakeCamera>();
  platform::blockingWait(mixer->attachVideo(camera, 0));
  camera->failStart = true;
  platform::blockingWait(mixer->startRunning());
  // The restart a second later comes from the session's timer, off the mixer's actor; it is held in the driver.
  DriverGate driver;
  {
    std::lock_guard lock(camera->mutex);
    camera->failStart = false;
    camera->beforeStart = driver.hold();
  }
  const bool reached = driver.reached();
  if (reached) platform::blockingWait(mixer->stopRunning());
  driver.release();
  ASSERT_TRUE(reached) << "the session did not start the camera again";
  auto startedThenStopped = [&] {
    std::lock_guard lock(camera->mutex);
    return camera->starts == 2 && camera->frame == nullptr;
  };
  EXPECT_TRUE(qztest::eventually(startedThenStopped, std::chrono::seconds(2))) << "the camera streams after the stop";
  EXPECT_FALSE(mixer->videoIO()->devices().at(0)->isCapturing());
  EXPECT_FALSE(mixer->isCapturing());
  std::lock_guard lock(camera->mutex);
  camera->beforeStart = nullptr;
}

TEST_F(DeviceRestartTest, AFailureToldByACameraStreamStoppedSinceChangesNothing) {
  runNow(rt, mixer->attachVideo(camera, 0));
  runNow(rt, mixer->startRunning());
  const auto stale = camera->event;
  runNow(rt, mixer->stopRunning());
  runNow(rt, mixer->startRunning());
  ASSERT_EQ(camera->starts, 2);
  stale({platform::VideoCaptureEvent::Kind::runtimeError, "late"});
  rt->runUntilIdle();
  EXPECT_TRUE(mixer->videoIO()->devices().at(0)->isCapturing());
  seconds(5);
  EXPECT_EQ(camera->starts, 2) << "a stream that runs is not started again";
}

TEST_F(DeviceRestartTest, AMicrophoneThatStopsDeliveringIsStartedAgainAtThePaceOfOneThatCannotOpen) {
  auto mic = std::make_shared<EndingMicrophone>();
  runNow(rt, mixer->attachAudio(mic, "default", 0));
  medleytest::Collector<medley::CaptureRuntimeError> failures(rt, runNow(rt, mixer->deviceFailures()));
  runNow(rt, mixer->startRunning());
  const int opened = mic->opens, stopped = mic->stops;  // the check at the attach opens and closes
  seconds(3);
  mic->end();
  rt->runUntilIdle();
  ASSERT_EQ(failures.values().size(), 1u);
  EXPECT_EQ(failures.values()[0].description, "capture ended");
  EXPECT_EQ(mic->stops, stopped + 1) << "the ended capture is closed";
  EXPECT_EQ(mic->opens, opened + 1) << "a second after its start has passed: at once";
  EXPECT_TRUE(mixer->isCapturing());

  // Ending again soon after each start: 2 s, then 4 s, and not capturing meanwhile.
  const auto stale = mic->handlers;
  mic->end();
  rt->runUntilIdle();
  EXPECT_FALSE(mixer->isCapturing());
  seconds(1);
  EXPECT_EQ(mic->opens, opened + 1);
  seconds(1);
  EXPECT_EQ(mic->opens, opened + 2);
  stale.onFailure({platform::AudioCaptureFailure::Kind::runtimeError, "late"});
  rt->runUntilIdle();
  EXPECT_TRUE(mixer->isCapturing()) << "the end of a capture already replaced changes nothing";
  mic->end();
  seconds(3);
  EXPECT_EQ(mic->opens, opened + 2);
  seconds(1);
  EXPECT_EQ(mic->opens, opened + 3);

  // Ten seconds of delivery bring the first pause back; an end told before
  // open returns counts once open has returned.
  seconds(10);
  mic->endAtOpen = true;
  mic->end();
  rt->runUntilIdle();
  EXPECT_EQ(mic->opens, opened + 4);
  EXPECT_FALSE(mixer->isCapturing());
  mic->endAtOpen = false;
  seconds(2);
  EXPECT_EQ(mic->opens, opened + 5);
  EXPECT_TRUE(mixer->isCapturing());
  EXPECT_EQ(failures.values().size(), 5u);
  EXPECT_EQ(mic->stops, stopped + 5);
}

// A preset change whose restart the driver refuses ends the camera's stream: the
// mixer's reader hears it once, and after a steady run the session starts the
// camera again at once.
TEST_F(DeviceRestartTest, AFormatChangeThatCannotRestartTheCameraIsOneFailureAndTheCameraStartsAgain) {
  runNow(rt, mixer->attachVideo(camera, 0));
  medleytest::Collector<medley::CaptureRuntimeError> failures(rt, runNow(rt, mixer->deviceFailures()));
  runNow(rt, mixer->setSessionPreset("640x480"));
  runNow(rt, mixer->startRunning());
  ASSERT_TRUE(camera->streaming());
  seconds(20);
  camera->refuseRestart = true;
  runNow(rt, mixer->setSessionPreset("1280x720"));
  rt->runUntilIdle();
  ASSERT_EQ(failures.values().size(), 1u);
  EXPECT_EQ(failures.values()[0].description, "Device or resource busy");
  EXPECT_EQ(camera->starts, 2);
  EXPECT_TRUE(camera->streaming());
  seconds(5);
  EXPECT_EQ(failures.values().size(), 1u);
  EXPECT_EQ(camera->starts, 2);
}

// The session's timer restarts a camera; while that start is inside the driver
// the session stops and starts again. The second start is not lost: the camera
// streams when the driver returns, not a restart pause later.
TEST(DeviceRestartSessionTest, AStopAndAStartWhileATimedRestartIsInTheDriverLeaveTheCameraStreaming) {
  auto rt = platform::VirtualRuntime::make();
  auto session = std::make_shared<CaptureSession>(rt);
  auto camera = std::make_shared<FakeCamera>();
  auto unit = std::make_shared<medley::VideoDeviceUnit>(0, camera);
  session->attachCapture(unit);
  camera->failStart = true;
  session->startRunning();
  ASSERT_FALSE(unit->isCapturing());  // the timer tries again in a second
  camera->failStart = false;
  int held = 0;
  camera->beforeStart = [&] {
    if (held++ > 0) return;
    session->stopRunning();
    session->startRunning();
  };
  rt->advance(kSecond);
  rt->runUntilIdle();
  EXPECT_EQ(held, 2) << "the stream found by the stop's absence was not started afresh";
  EXPECT_TRUE(camera->streaming());
  EXPECT_TRUE(unit->isCapturing());
  EXPECT_TRUE(session->isCapturing());

  // It runs: no restart follows.
  const int starts = camera->starts;
  rt->advance(5 * kSecond);
  rt->runUntilIdle();
  EXPECT_EQ(camera->starts, starts);
  session->stopRunning();
  EXPECT_FALSE(camera->streaming());
  EXPECT_FALSE(unit->isCapturing());
}

// A camera unplugged while its format changes cannot restart: the mixer's
// reader hears one failure, and the session waits for the camera to be
// attached again instead of starting it at its restart pace; so does a camera
// found gone when it is started.
TEST_F(DeviceRestartTest, ACameraUnpluggedDuringAFormatChangeIsWaitedForNotRestarted) {
  runNow(rt, mixer->attachVideo(camera, 0));
  medleytest::Collector<medley::CaptureRuntimeError> failures(rt, runNow(rt, mixer->deviceFailures()));
  runNow(rt, mixer->setSessionPreset("640x480"));
  runNow(rt, mixer->startRunning());
  ASSERT_TRUE(camera->streaming());
  camera->restartError = platform::VideoCaptureError::fromErrno(ENODEV);
  camera->refuseRestart = true;
  runNow(rt, mixer->setSessionPreset("1280x720"));
  rt->runUntilIdle();
  ASSERT_EQ(failures.values().size(), 1u);
  EXPECT_EQ(failures.values()[0].description, "No such device");
  seconds(60);
  EXPECT_EQ(camera->starts, 1);
  EXPECT_FALSE(camera->streaming());
  EXPECT_EQ(failures.values().size(), 1u);

  // Back: attached anew, it streams; then gone at the session's restart.
  runNow(rt, mixer->attachVideo(camera, 0));
  EXPECT_EQ(camera->starts, 2);
  EXPECT_TRUE(camera->streaming());
  camera->failStart = true;
  camera->startError = platform::VideoCaptureError::fromErrno(ENODEV);
  seconds(20);
  report(platform::VideoCaptureEvent::Kind::runtimeError);
  EXPECT_EQ(camera->starts, 3);
  seconds(60);
  EXPECT_EQ(camera->starts, 3);
  EXPECT_EQ(failures.values().size(), 3u);
}

// Stops and starts from other threads while a start is inside the driver: the
// stop returns without waiting for the driver and leaves the stream to the
// start, nothing enters the camera beside the start, and the last request holds.
TEST(VideoDeviceUnitThreadedTest, StopsAndStartsWhileAStartIsInTheDriverNeverOverlapIt) {
  auto camera = std::make_shared<FakeCamera>();
  auto unit = std::make_shared<medley::VideoDeviceUnit>(0, camera);
  DriverGate driver;
  camera->beforeStart = driver.hold();
  std::thread starter([&] { unit->startCapturing(); });
  if (!driver.reached()) {
    driver.release();
    starter.join();
    FAIL() << "the start did not reach the driver";
  }
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    unit->stopCapturing();
    stopped = true;
  });
  const bool stopReturned = qztest::eventually([&] { return stopped.load(); }, std::chrono::seconds(2));
  std::thread([&] { unit->startCapturing(); }).join();  // the stream the stop asked to end goes, and a new one starts
  driver.release();
  starter.join();
  stopper.join();
  EXPECT_TRUE(stopReturned) << "the stop waited for the driver";
  EXPECT_EQ(camera->overlaps.load(), 0);
  EXPECT_TRUE(camera->streaming());
  EXPECT_TRUE(unit->isCapturing());
  {
    std::lock_guard lock(camera->mutex);
    EXPECT_EQ(camera->starts, 2);
    camera->beforeStart = nullptr;
  }

  // Stopped while starting and not started again: it ends stopped, and the next start streams.
  DriverGate again;
  {
    std::lock_guard lock(camera->mutex);
    camera->beforeStart = again.hold();
  }
  unit->stopCapturing();
  std::thread restarter([&] { unit->startCapturing(); });
  const bool reached = again.reached();
  if (reached) unit->stopCapturing();
  again.release();
  restarter.join();
  ASSERT_TRUE(reached);
  EXPECT_FALSE(camera->streaming());
  EXPECT_FALSE(unit->isCapturing());
  unit->startCapturing();
  EXPECT_TRUE(camera->streaming());
  EXPECT_EQ(camera->overlaps.load(), 0);
}

// Two stops and a start from three threads while the first stop is inside the
// driver: they take turns, and a start after them streams.
TEST(VideoDeviceUnitThreadedTest, StopsNeverOverlapAndALaterStartStreams) {
  auto camera = std::make_shared<FakeCamera>();
  auto unit = std::make_shared<medley::VideoDeviceUnit>(0, camera);
  unit->startCapturing();
  ASSERT_TRUE(camera->streaming());
  DriverGate driver;
  {
    std::lock_guard lock(camera->mutex);
    camera->beforeStop = driver.hold();
  }
  std::thread first([&] { unit->stopCapturing(); });
  const bool reached = driver.reached();
  std::thread second([&] { unit->stopCapturing(); });
  std::thread starter([&] { unit->startCapturing(); });
  // Time for the others to come in while the first stop is held, which they must not.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  driver.release();
  first.join();
  second.join();
  starter.join();
  ASSERT_TRUE(reached);
  EXPECT_EQ(camera->overlaps.load(), 0);
  unit->startCapturing();
  EXPECT_TRUE(camera->streaming());
  EXPECT_TRUE(unit->isCapturing());
  std::lock_guard lock(camera->mutex);
  camera->beforeStop = nullptr;
}
