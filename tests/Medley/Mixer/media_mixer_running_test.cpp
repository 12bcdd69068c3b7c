#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "Eventually.h"
#include "Logwell/ScopedLogCapture.h"

#include "Medley/Mixer/audio_mixer_test_support.h"
#include "Medley/Mixer/media_mixer_test_support.h"
#include "Medley/Screen/ScreenTestSupport.h"
#include "Medley/Sources/Util/MedleyLogger.h"
#include "Medley/Util/virtual_run.h"

using medley::MediaMixer;
using medley::VideoMixerSettings;
using mixertest::RecordingOutput;
using medleytest::runNow;
using medley::testing::frameAt;
using medley::testing::lumaAt;

namespace {

constexpr platform::Nanos kRefresh = 1'000'000'000 / 60;

struct MediaMixerRunningTest : ::testing::Test {
  std::shared_ptr<platform::VirtualRuntime> rt = platform::VirtualRuntime::make();
  std::shared_ptr<MediaMixer> mixer = std::make_shared<MediaMixer>(MediaMixer::CaptureSessionMode::manual, false, rt);
  std::shared_ptr<RecordingOutput> track0 = std::make_shared<RecordingOutput>(0, std::nullopt);
  std::shared_ptr<RecordingOutput> track1 = std::make_shared<RecordingOutput>(1, std::nullopt);
  std::shared_ptr<RecordingOutput> mixed = std::make_shared<RecordingOutput>(medley::kMixedTrack, medley::kMixedTrack);

  void SetUp() override {
    for (const auto& o : {track0, track1, mixed}) runNow(rt, mixer->addOutput(o));
  }
  void TearDown() override {
    runNow(rt, mixer->stopRunning());
    EXPECT_EQ(runNow(rt, mixer->liveTaskCount()), 0u);
  }
  void ticks(int n) {
    for (int i = 0; i < n; ++i) {
      rt->advance(kRefresh);
      rt->runUntilIdle();
    }
  }
  void setMode(VideoMixerSettings::Mode mode) {
    auto settings = mixer->videoMixerSettings();
    settings.mode = mode;
    runNow(rt, mixer->setVideoMixerSettings(settings));
  }
};

// Takes the mixed picture and sound and, while failing, throws at every hand-off.
class ThrowingOutput final : public medley::MediaMixerOutput {
 public:
  platform::Async<std::optional<uint8_t>> videoTrackId() override { co_return medley::kMixedTrack; }
  platform::Async<std::optional<uint8_t>> audioTrackId() override { co_return medley::kMixedTrack; }
  void mixer(MediaMixer&, const platform::SampleBufferRef&) override {
    ++pictures;
    if (failing) throw std::runtime_error("picture queue gone");
  }
  void mixer(MediaMixer&, const platform::PCMBufferRef&, const platform::AudioTime&) override {
    ++sounds;
    if (failing) throw 7;
  }
  platform::Async<void> selectTrack(std::optional<uint8_t>, platform::MediaType) override { co_return; }
  std::atomic<int> pictures{0}, sounds{0};
  std::atomic<bool> failing{true};
};

// Counts the mixed pictures and sounds it takes and keeps none of them.
class CountingOutput final : public medley::MediaMixerOutput {
 public:
  platform::Async<std::optional<uint8_t>> videoTrackId() override { co_return medley::kMixedTrack; }
  platform::Async<std::optional<uint8_t>> audioTrackId() override { co_return medley::kMixedTrack; }
  void mixer(MediaMixer&, const platform::SampleBufferRef&) override { ++pictures; }
  void mixer(MediaMixer&, const platform::PCMBufferRef&, const platform::AudioTime&) override { ++sounds; }
  platform::Async<void> selectTrack(std::optional<uint8_t>, platform::MediaType) override { co_return; }
  std::atomic<int> pictures{0}, sounds{0};
};

// The lines that name the output and buffers of one kind.
std::vector<std::string> linesOf(const logwell::testing::ScopedLogCapture& log, logwell::LWLogLevel level,
                                 const std::string& output, const std::string& kind) {
  std::vector<std::string> out;
  for (const auto& line : log.lines(level))
    if (line.starts_with(output + " ") && line.find(kind) != std::string::npos) out.push_back(line);
  return out;
}

}  // namespace

TEST_F(MediaMixerRunningTest, PassthroughRoutesEachTrackToItsOutputsAndTheMainTrackTo255) {
  runNow(rt, mixer->startRunning());
  auto first = frameAt(0, 64, 32), second = frameAt(0, 64, 32);
  mixer->append(first, 0);
  mixer->append(second, 1);
  rt->runUntilIdle();
  ASSERT_EQ(track0->pictures.size(), 1u);
  EXPECT_EQ(track0->pictures[0], first);
  ASSERT_EQ(track1->pictures.size(), 1u);
  EXPECT_EQ(track1->pictures[0], second);
  ASSERT_EQ(mixed->pictures.size(), 1u);  // only the main track is the mixed picture
  EXPECT_EQ(mixed->pictures[0], first);
  EXPECT_EQ(mixer->videoInputFormats().size(), 2u);

  // Sound of the main track comes out mixed, to the outputs of audio track 255 only.
  const platform::AudioFormat format(platform::CommonFormat::float32, 48000, 2, true);
  for (int i = 0; i < 8; ++i) {
    mixer->append(mixertest::tone(format, 440, 0.5, i * 1024, 1024), platform::AudioTime::withSampleTime(i * 1024, 48000), 0);
  }
  rt->runUntilIdle();
  EXPECT_FALSE(mixed->sounds.empty());
  EXPECT_TRUE(track0->sounds.empty());
  EXPECT_EQ(mixer->audioInputFormats().size(), 1u);
}

TEST_F(MediaMixerRunningTest, UnusableBuffersAreDropped) {
  runNow(rt, mixer->startRunning());
  mixer->append(platform::SampleBufferRef{}, 0);
  mixer->append(platform::PCMBufferRef{}, platform::AudioTime::withSampleTime(0, 48000), 0);
  rt->runUntilIdle();
  EXPECT_TRUE(track0->pictures.empty());
  EXPECT_TRUE(mixed->pictures.empty());
  EXPECT_TRUE(mixed->sounds.empty());
  EXPECT_TRUE(mixer->videoInputFormats().empty());
}

TEST_F(MediaMixerRunningTest, OffscreenRendersThirtyFramesASecondOnSixtyHertzTicksForTrack255Only) {
  setMode(VideoMixerSettings::Mode::offscreen);
  runNow(rt, mixer->startRunning());
  mixer->append(frameAt(0, 64, 32), 0);
  ticks(60);
  // A camera frame still reaches its track's output as it comes, never 255 as such.
  ASSERT_EQ(track0->pictures.size(), 1u);
  EXPECT_NEAR(static_cast<double>(mixed->pictures.size()), 30, 1);
  for (const auto& p : mixed->pictures) {
    EXPECT_EQ(p->imageBuffer()->width(), 1280);
    EXPECT_EQ(p->imageBuffer()->height(), 720);
  }
  for (size_t i = 1; i < mixed->pictures.size(); ++i) {
    EXPECT_NEAR((mixed->pictures[i]->presentationTime() - mixed->pictures[i - 1]->presentationTime()).seconds(),
                1.0 / 30, 0.002);
  }
  EXPECT_EQ(mixer->displayLink()->preferredFramesPerSecond(), 30);
}

TEST_F(MediaMixerRunningTest, TheScreensDelegateIsToldOfTheLayoutOfEachRenderedFrame) {
  struct Watcher final : medley::ScreenDelegate {
    std::vector<platform::MediaTime> times;
    void screen(medley::Screen&, const platform::MediaTime& willLayout) override { times.push_back(willLayout); }
  };
  auto watcher = std::make_shared<Watcher>();
  mixer->screen()->setDelegate(watcher);
  setMode(VideoMixerSettings::Mode::offscreen);
  runNow(rt, mixer->startRunning());
  ticks(20);
  ASSERT_GE(mixed->pictures.size(), 8u);
  ASSERT_EQ(watcher->times.size(), mixed->pictures.size());
  for (size_t i = 0; i < mixed->pictures.size(); ++i) {
    EXPECT_EQ(watcher->times[i], mixed->pictures[i]->presentationTime()) << i;
  }
  // Passthrough composes nothing, so nothing is laid out.
  setMode(VideoMixerSettings::Mode::passthrough);
  const auto told = watcher->times.size();
  mixer->append(frameAt(1, 64, 32), 0);
  ticks(10);
  EXPECT_EQ(watcher->times.size(), told);
}

TEST_F(MediaMixerRunningTest, ModeChangesWhileRunningStopAndRestartTheRenderLoop) {
  setMode(VideoMixerSettings::Mode::offscreen);
  runNow(rt, mixer->startRunning());
  ticks(10);
  const auto rendered = mixed->pictures.size();
  EXPECT_GE(rendered, 4u);
  setMode(VideoMixerSettings::Mode::passthrough);
  rt->runUntilIdle();
  EXPECT_FALSE(mixer->displayLink()->isRunning());
  ticks(10);
  EXPECT_EQ(mixed->pictures.size(), rendered);
  runNow(rt, mixer->setFrameRate(15));
  setMode(VideoMixerSettings::Mode::offscreen);
  ticks(40);
  EXPECT_NEAR(static_cast<double>(mixed->pictures.size() - rendered), 10, 1);
  EXPECT_EQ(mixer->displayLink()->preferredFramesPerSecond(), 15);
}

TEST_F(MediaMixerRunningTest, StartAndStopAreIdempotentAndStopEndsEveryTask) {
  setMode(VideoMixerSettings::Mode::offscreen);
  runNow(rt, mixer->startRunning());
  runNow(rt, mixer->startRunning());
  EXPECT_TRUE(runNow(rt, mixer->isRunning()));
  EXPECT_TRUE(mixer->session()->isRunning());
  ticks(4);
  EXPECT_GT(runNow(rt, mixer->liveTaskCount()), 0u);
  runNow(rt, mixer->stopRunning());
  EXPECT_EQ(runNow(rt, mixer->liveTaskCount()), 0u);
  EXPECT_FALSE(runNow(rt, mixer->isRunning()));
  EXPECT_FALSE(mixer->session()->isRunning());
  EXPECT_FALSE(mixer->displayLink()->isRunning());
  EXPECT_FALSE(mixer->audioIO()->hasContinuation());
  runNow(rt, mixer->stopRunning());

  // Stopped: nothing flows. Started again: new sequences carry media again.
  const auto before = mixed->pictures.size();
  mixer->append(frameAt(0, 64, 32), 0);
  ticks(4);
  EXPECT_EQ(mixed->pictures.size(), before);
  EXPECT_TRUE(track0->pictures.empty());
  setMode(VideoMixerSettings::Mode::passthrough);
  runNow(rt, mixer->startRunning());
  mixer->append(frameAt(1, 64, 32), 0);
  rt->runUntilIdle();
  EXPECT_EQ(track0->pictures.size(), 1u);
  EXPECT_EQ(mixed->pictures.size(), before + 1);
}

TEST_F(MediaMixerRunningTest, MainTrackReachesTheScreensVideoObjectAndTheMutedMixerFreezes) {
  runNow(rt, mixer->setVideoMixerSettings({VideoMixerSettings::Mode::passthrough, true, 1}));
  rt->runUntilIdle();
  EXPECT_EQ(mixer->screen()->videoTrackScreenObject()->track(), 1);
  runNow(rt, mixer->startRunning());
  mixer->append(frameAt(0, 64, 32, 50), 1);
  auto later = frameAt(1, 64, 32, 210);
  mixer->append(later, 1);
  rt->runUntilIdle();
  ASSERT_EQ(mixed->pictures.size(), 2u);
  EXPECT_EQ(lumaAt(*later->imageBuffer(), 5, 5), 50);
}

TEST_F(MediaMixerRunningTest, OffscreenCameraFramesFeedTheVideoObjectsOfTheirTrack) {
  setMode(VideoMixerSettings::Mode::offscreen);
  runNow(rt, mixer->startRunning());
  ticks(1);
  mixer->append(frameAt(0.02, 64, 32), 0);
  mixer->append(frameAt(0.02, 64, 32), 3);
  rt->runUntilIdle();
  auto object = mixer->screen()->videoTrackScreenObject();
  ASSERT_NE(object->queue(), nullptr);
  EXPECT_EQ(object->queue()->count(), 1u);
  runNow(rt, mixer->stopRunning());
  EXPECT_EQ(object->queue()->count(), 0u);
}

TEST_F(MediaMixerRunningTest, AStopQueuedRightBehindTheStartEndsTheRenderLoop) {
  setMode(VideoMixerSettings::Mode::offscreen);
  auto start = platform::spawn(rt->globalQueue(), mixer->startRunning());
  auto stop = platform::spawn(rt->globalQueue(), mixer->stopRunning());
  rt->runUntilIdle();
  ticks(3);
  ASSERT_TRUE(start.isFinished());
  ASSERT_TRUE(stop.isFinished());
  EXPECT_FALSE(runNow(rt, mixer->isRunning()));
  EXPECT_FALSE(mixer->displayLink()->isRunning());
  EXPECT_EQ(runNow(rt, mixer->liveTaskCount()), 0u);
  EXPECT_TRUE(mixed->pictures.empty());
}

TEST_F(MediaMixerRunningTest, AModeChangeQueuedRightBehindTheStopStartsNoRenderLoop) {
  runNow(rt, mixer->startRunning());
  auto settings = mixer->videoMixerSettings();
  settings.mode = VideoMixerSettings::Mode::offscreen;
  auto stop = platform::spawn(rt->globalQueue(), mixer->stopRunning());
  auto change = platform::spawn(rt->globalQueue(), mixer->setVideoMixerSettings(settings));
  rt->runUntilIdle();
  ticks(3);
  ASSERT_TRUE(change.isFinished());
  ASSERT_TRUE(stop.isFinished()) << "the stop waits for a render loop it did not stop";
  EXPECT_FALSE(runNow(rt, mixer->isRunning()));
  EXPECT_FALSE(mixer->displayLink()->isRunning());
  EXPECT_EQ(runNow(rt, mixer->liveTaskCount()), 0u);
  ticks(3);
  EXPECT_TRUE(mixed->pictures.empty()) << "pictures after the stop";

  // The mode was kept: the next start renders.
  runNow(rt, mixer->startRunning());
  ticks(6);
  EXPECT_FALSE(mixed->pictures.empty());
  EXPECT_TRUE(mixer->displayLink()->isRunning());
}

TEST_F(MediaMixerRunningTest, AStartQueuedRightBehindTheStopRunsOnceTheStopHasEnded) {
  setMode(VideoMixerSettings::Mode::offscreen);
  runNow(rt, mixer->startRunning());
  ticks(4);
  const auto tasksWhenRunning = runNow(rt, mixer->liveTaskCount());
  std::optional<bool> linkWhenStopReturned;
  auto stop = platform::spawn(
      rt->globalQueue(),
      [](std::shared_ptr<MediaMixer> mixer, std::optional<bool>& link) -> platform::Async<void> {
        co_await mixer->stopRunning();
        link = mixer->displayLink()->isRunning();
      },
      mixer, std::ref(linkWhenStopReturned));
  auto start = platform::spawn(rt->globalQueue(), mixer->startRunning());
  rt->runUntilIdle();
  ASSERT_TRUE(stop.isFinished());
  ASSERT_TRUE(start.isFinished());
  EXPECT_EQ(linkWhenStopReturned, std::optional<bool>(false)) << "the stop returned with the link ticking";

  // The start was not lost: everything runs again, built anew.
  EXPECT_TRUE(runNow(rt, mixer->isRunning()));
  EXPECT_TRUE(mixer->session()->isRunning());
  EXPECT_TRUE(mixer->displayLink()->isRunning());
  EXPECT_TRUE(mixer->audioIO()->hasContinuation());
  EXPECT_EQ(runNow(rt, mixer->liveTaskCount()), tasksWhenRunning);
  const auto rendered = mixed->pictures.size();
  ticks(10);
  EXPECT_GE(mixed->pictures.size(), rendered + 4) << "no render loop after the queued start";
  mixer->append(frameAt(1, 64, 32), 0);
  rt->runUntilIdle();
  EXPECT_EQ(track0->pictures.size(), 1u);

  // A second start runs nothing more, and a stop after it still stops.
  runNow(rt, mixer->startRunning());
  EXPECT_EQ(runNow(rt, mixer->liveTaskCount()), tasksWhenRunning);
  runNow(rt, mixer->stopRunning());
  EXPECT_FALSE(runNow(rt, mixer->isRunning()));
  EXPECT_FALSE(mixer->displayLink()->isRunning());
  EXPECT_EQ(runNow(rt, mixer->liveTaskCount()), 0u);
}

TEST_F(MediaMixerRunningTest, StartsAndStopsQueuedDuringAStopEndInTheLastOnesState) {
  setMode(VideoMixerSettings::Mode::offscreen);
  runNow(rt, mixer->startRunning());
  std::vector<platform::TaskHandle<void>> calls;
  calls.push_back(platform::spawn(rt->globalQueue(), mixer->stopRunning()));
  calls.push_back(platform::spawn(rt->globalQueue(), mixer->startRunning()));
  calls.push_back(platform::spawn(rt->globalQueue(), mixer->startRunning()));
  calls.push_back(platform::spawn(rt->globalQueue(), mixer->stopRunning()));
  rt->runUntilIdle();
  for (const auto& call : calls) ASSERT_TRUE(call.isFinished());
  EXPECT_FALSE(runNow(rt, mixer->isRunning()));
  EXPECT_FALSE(mixer->displayLink()->isRunning());
  EXPECT_FALSE(mixer->session()->isRunning());
  EXPECT_EQ(runNow(rt, mixer->liveTaskCount()), 0u);
  const auto rendered = mixed->pictures.size();
  mixer->append(frameAt(1, 64, 32), 0);
  ticks(6);
  EXPECT_EQ(mixed->pictures.size(), rendered);
  EXPECT_TRUE(track0->pictures.empty());
}

TEST(MediaMixerThreadedTest, StartAndStopPairsOnRealThreadsAlwaysEnd) {
  auto runtime = platform::Runtime::shared();
  auto mixer = std::make_shared<MediaMixer>(MediaMixer::CaptureSessionMode::manual, false, runtime);
  auto settings = mixer->videoMixerSettings();
  settings.mode = VideoMixerSettings::Mode::offscreen;
  auto set = platform::spawn(runtime->globalQueue(), mixer->setVideoMixerSettings(settings));
  ASSERT_TRUE(qztest::eventually([&] { return set.isFinished(); }));
  for (int i = 0; i < 200; ++i) {
    auto start = platform::spawn(runtime->globalQueue(), mixer->startRunning());
    auto stop = platform::spawn(runtime->globalQueue(), mixer->stopRunning());
    ASSERT_TRUE(qztest::eventually([&] { return start.isFinished() && stop.isFinished(); }, std::chrono::seconds(2)))
        << "pair " << i << " hung";
  }
  // The last pair may have reached the mixer in either order; a stop after it always leaves the mixer stopped.
  auto last = platform::spawn(runtime->globalQueue(), mixer->stopRunning());
  ASSERT_TRUE(qztest::eventually([&] { return last.isFinished(); }, std::chrono::seconds(2)));
  auto running = platform::spawn(runtime->globalQueue(), mixer->isRunning());
  ASSERT_TRUE(qztest::eventually([&] { return running.isFinished(); }));
  EXPECT_FALSE(running.result());
  EXPECT_FALSE(mixer->displayLink()->isRunning());
}

TEST_F(MediaMixerRunningTest, AFrameRateBelowOneIsRefusedAndTheRenderPaceStays) {
  setMode(VideoMixerSettings::Mode::offscreen);
  runNow(rt, mixer->startRunning());
  for (double bad : {0.5, 0.0, -30.0, std::nan(""), 1e300}) {
    EXPECT_THROW(runNow(rt, mixer->setFrameRate(bad)), std::invalid_argument) << bad;
  }
  runNow(rt, mixer->setFrameRate(1));
  ticks(120);
  EXPECT_DOUBLE_EQ(runNow(rt, mixer->frameRate()), 1);
  EXPECT_EQ(mixer->displayLink()->preferredFramesPerSecond(), 1);
  EXPECT_LE(mixed->pictures.size(), 3u) << "one picture a second, never one every refresh";
}

TEST(MediaMixerThreadedTest, AStopRacingAModeChangeAlwaysEndsWithTheLinkStopped) {
  auto runtime = platform::Runtime::shared();
  auto mixer = std::make_shared<MediaMixer>(MediaMixer::CaptureSessionMode::manual, false, runtime);
  auto settings = mixer->videoMixerSettings();
  auto passthrough = settings, offscreen = settings;
  passthrough.mode = VideoMixerSettings::Mode::passthrough;
  offscreen.mode = VideoMixerSettings::Mode::offscreen;
  // Bounded waits: a hung stop fails its round instead of the whole run.
  auto settle = [&](platform::TaskHandle<void>& task) {
    return qztest::eventually([&] { return task.isFinished(); }, std::chrono::seconds(5));
  };
  for (int i = 0; i < 200; ++i) {
    auto back = platform::spawn(runtime->globalQueue(), mixer->setVideoMixerSettings(passthrough));
    ASSERT_TRUE(settle(back)) << "round " << i;
    auto start = platform::spawn(runtime->globalQueue(), mixer->startRunning());
    ASSERT_TRUE(settle(start)) << "round " << i;
    auto stop = platform::spawn(runtime->globalQueue(), mixer->stopRunning());
    auto change = platform::spawn(runtime->globalQueue(), mixer->setVideoMixerSettings(offscreen));
    ASSERT_TRUE(settle(stop)) << "round " << i << ": the stop hung";
    ASSERT_TRUE(settle(change)) << "round " << i;
    auto running = platform::spawn(runtime->globalQueue(), mixer->isRunning());
    ASSERT_TRUE(qztest::eventually([&] { return running.isFinished(); }, std::chrono::seconds(5)));
    ASSERT_FALSE(running.result()) << "round " << i;
    ASSERT_FALSE(mixer->displayLink()->isRunning()) << "round " << i << ": the link ticks after the stop";
  }
}

TEST(MediaMixerThreadedTest, AStopRacingAStartEndsInTheStateOfTheCallTakenLast) {
  auto runtime = platform::Runtime::shared();
  auto mixer = std::make_shared<MediaMixer>(MediaMixer::CaptureSessionMode::manual, false, runtime);
  auto mixed = std::make_shared<RecordingOutput>(medley::kMixedTrack, std::nullopt);
  auto settle = [](const auto& task) {
    return qztest::eventually([&] { return task.isFinished(); }, std::chrono::seconds(5));
  };
  auto settings = mixer->videoMixerSettings();
  settings.mode = VideoMixerSettings::Mode::offscreen;
  ASSERT_TRUE(settle(platform::spawn(runtime->globalQueue(), mixer->setVideoMixerSettings(settings))));
  ASSERT_TRUE(settle(platform::spawn(runtime->globalQueue(), mixer->addOutput(mixed))));
  // Each call is made from a job on the mixer's queue, so the order in which
  // the mixer took them is the order they were noted in.
  std::vector<bool> taken;
  auto call = [&](bool start) {
    return platform::spawn(
        mixer->queue(),
        [](std::shared_ptr<MediaMixer> mixer, std::vector<bool>& taken, bool start) -> platform::Async<void> {
          taken.push_back(start);
          co_await (start ? mixer->startRunning() : mixer->stopRunning());
        },
        mixer, std::ref(taken), start);
  };
  int endedRunning = 0;
  for (int i = 0; i < 60; ++i) {
    taken.clear();
    platform::TaskHandle<void> stop, start;
    // Whichever thread begins first mostly wins; alternate so both orders come up.
    auto stopping = [&] { stop = call(false); };
    auto starting = [&] { start = call(true); };
    std::thread first(i % 2 ? std::function<void()>(stopping) : std::function<void()>(starting));
    std::thread second(i % 2 ? std::function<void()>(starting) : std::function<void()>(stopping));
    first.join();
    second.join();
    ASSERT_TRUE(settle(stop)) << "round " << i << ": the stop hung";
    ASSERT_TRUE(settle(start)) << "round " << i << ": the start hung";
    ASSERT_EQ(taken.size(), 2u);
    const bool wantRunning = taken.back();
    auto running = platform::spawn(runtime->globalQueue(), mixer->isRunning());
    auto tasks = platform::spawn(runtime->globalQueue(), mixer->liveTaskCount());
    ASSERT_TRUE(settle(running) && settle(tasks));
    ASSERT_EQ(running.result(), wantRunning) << "round " << i;
    ASSERT_EQ(mixer->displayLink()->isRunning(), wantRunning) << "round " << i;
    ASSERT_EQ(tasks.result() > 0, wantRunning) << "round " << i;
    if (wantRunning) {
      ++endedRunning;
      const auto before = mixed->pictureCount();
      ASSERT_TRUE(qztest::eventually([&] { return mixed->pictureCount() > before + 1; }, std::chrono::seconds(5)))
          << "round " << i << ": running, but no render loop";
    }
  }
  // A start taken behind a stop must have come up, or the race was not run.
  EXPECT_GT(endedRunning, 0);
  auto stop = platform::spawn(runtime->globalQueue(), mixer->stopRunning());
  ASSERT_TRUE(settle(stop));
}

// An output that throws as it is handed a buffer loses that buffer, said in the
// log; the outputs after it and the later buffers are forwarded all the same,
// passthrough and offscreen, and the render loop goes on.
TEST_F(MediaMixerRunningTest, AnOutputWhoseHandOffThrowsLosesOnlyItsOwnBuffers) {
  logwell::testing::ScopedLogCapture log(medley::logger(), logwell::LWLogLevel::error);
  auto throwing = std::make_shared<ThrowingOutput>();
  for (const auto& o : {track0, track1, mixed}) runNow(rt, mixer->removeOutput(o));
  runNow(rt, mixer->addOutput(throwing));
  for (const auto& o : {track0, track1, mixed}) runNow(rt, mixer->addOutput(o));

  runNow(rt, mixer->startRunning());
  for (int i = 0; i < 10; ++i) {
    mixer->append(frameAt(i / 30.0, 64, 32), 0);
    rt->runUntilIdle();
  }
  EXPECT_EQ(throwing->pictures.load(), 10);
  EXPECT_EQ(mixed->pictures.size(), 10u);
  EXPECT_EQ(track0->pictures.size(), 10u);
  const platform::AudioFormat format(platform::CommonFormat::float32, 48000, 2, true);
  for (int i = 0; i < 8; ++i)
    mixer->append(mixertest::tone(format, 440, 0.5, i * 1024, 1024), platform::AudioTime::withSampleTime(i * 1024, 48000), 0);
  rt->runUntilIdle();
  EXPECT_GT(throwing->sounds.load(), 0);
  EXPECT_EQ(mixed->sounds.size(), static_cast<size_t>(throwing->sounds));
  // Said once for each kind as it begins to fail, not for every buffer.
  EXPECT_EQ(log.lines(logwell::LWLogLevel::error),
            (std::vector<std::string>{"ThrowingOutput failed to take a picture of track 255: picture queue gone",
                                      "ThrowingOutput failed to take a buffer of mixed sound: an unknown exception"}));

  setMode(VideoMixerSettings::Mode::offscreen);
  const size_t before = mixed->pictures.size();
  ticks(60);
  EXPECT_NEAR(static_cast<double>(mixed->pictures.size() - before), 30, 1);
  EXPECT_EQ(throwing->pictures.load(), 10 + static_cast<int>(mixed->pictures.size() - before));
  // The camera's own track still reaches its output as it comes.
  mixer->append(frameAt(1, 64, 32), 0);
  rt->runUntilIdle();
  EXPECT_EQ(track0->pictures.size(), 11u);
}

// An output that fails for ten seconds is told in a few lines, not one per
// buffer: as it begins to fail, then what it lost every few seconds, then as it
// recovers, with the count of what it lost. The other outputs get every picture
// and every sound meanwhile.
TEST_F(MediaMixerRunningTest, AnOutputThatFailsForSecondsIsToldInAFewLinesWithWhatItLost) {
  using logwell::LWLogLevel;
  logwell::testing::ScopedLogCapture log(medley::logger(), LWLogLevel::info);
  for (const auto& o : {track0, track1, mixed}) runNow(rt, mixer->removeOutput(o));
  auto throwing = std::make_shared<ThrowingOutput>();
  auto counting = std::make_shared<CountingOutput>();
  runNow(rt, mixer->addOutput(throwing));
  runNow(rt, mixer->addOutput(counting));
  setMode(VideoMixerSettings::Mode::offscreen);
  runNow(rt, mixer->startRunning());
  mixer->append(frameAt(0, 64, 32), 0);
  // A tick's worth of sound with every tick, as a microphone brings it.
  const platform::AudioFormat format(platform::CommonFormat::float32, 48000, 2, true);
  int64_t sampleTime = 0;
  auto run = [&](int count) {
    for (int i = 0; i < count; ++i, sampleTime += 800) {
      mixer->append(mixertest::tone(format, 440, 0.5, sampleTime, 800),
                    platform::AudioTime::withSampleTime(sampleTime, 48000), 0);
      ticks(1);
    }
  };
  run(600);
  const int lostPictures = throwing->pictures, lostSounds = throwing->sounds;
  EXPECT_NEAR(lostPictures, 300, 2);
  ASSERT_GT(lostSounds, 300);
  throwing->failing = false;
  run(60);
  EXPECT_EQ(counting->pictures.load(), throwing->pictures.load());
  EXPECT_EQ(counting->sounds.load(), throwing->sounds.load());

  const std::string pictures = "pictures of track 255", sounds = "buffers of mixed sound";
  for (const auto& [kind, lost, failure] : {std::tuple{pictures, lostPictures, "picture queue gone"},
                                            std::tuple{sounds, lostSounds, "an unknown exception"}}) {
    SCOPED_TRACE(kind);
    // The first failure, then one line every five seconds: two or three in ten seconds.
    const auto errors = linesOf(log, LWLogLevel::error, "ThrowingOutput", kind == pictures ? "picture" : "sound");
    ASSERT_GE(errors.size(), 2u);
    EXPECT_LE(errors.size(), 3u);
    int told = 1;
    for (size_t i = 1; i < errors.size(); ++i) {
      SCOPED_TRACE(errors[i]);
      int more = 0, since = 0;
      const auto head = "ThrowingOutput failed to take %d more " + kind + ", %d since it began to fail: ";
      ASSERT_EQ(std::sscanf(errors[i].c_str(), head.c_str(), &more, &since), 2);
      // About five seconds' worth each.
      EXPECT_GT(more, lost / 3);
      told += more;
      EXPECT_EQ(since, told);
      EXPECT_TRUE(errors[i].ends_with(failure));
    }
    EXPECT_EQ(linesOf(log, LWLogLevel::info, "ThrowingOutput", kind),
              std::vector<std::string>{"ThrowingOutput takes " + kind + " again, after losing " + std::to_string(lost)});
  }
  EXPECT_TRUE(log.lines(LWLogLevel::warn).empty());

  // Removed while it fails, soon after its last line: what it lost since is said as it goes.
  throwing->failing = true;
  const int picturesBefore = throwing->pictures, soundsBefore = throwing->sounds;
  run(2);
  ASSERT_EQ(throwing->pictures - picturesBefore, 1);
  runNow(rt, mixer->removeOutput(throwing));
  EXPECT_EQ(log.lines(LWLogLevel::warn),
            (std::vector<std::string>{"ThrowingOutput was removed after losing 1 picture of track 255",
                                      "ThrowingOutput was removed after losing " +
                                          std::to_string(throwing->sounds - soundsBefore) + " buffers of mixed sound"}));
}
