// The attempt loop on virtual time: states, backoff, problem texts, stop and
// its deadlines, sessions that overlap a late loop, the live watch and the HEVC
// fallback.
#include <gtest/gtest.h>

#include <algorithm>

#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Log/SystemLog.h"
#include "Quarzadel/Studio/RTMPPublisher.h"
#include "Quarzadel/Studio/FakePublisherTransport.h"

namespace quarzadel {
namespace {

using platform::seconds;
using testing::AttemptScript;
using testing::FakePathMonitor;
using testing::FakeServer;
using testing::Step;
using State = RTMPPublisher::State;

platform::Nanos ms(int64_t v) { return platform::milliseconds(v); }

rtmpmedley::RTMPConnection::Error timedOut() { return rtmpmedley::RTMPConnection::Error::connectionTimedOut(); }

platform::SampleBufferRef picture(double at) {
  auto image = platform::PixelBuffer::make(16, 16, platform::PixelFormat::nv12VideoRange);
  platform::SampleTiming timing;
  timing.presentationTime = platform::MediaTime::fromSeconds(at, 90000);
  return platform::SampleBuffer::makeImage(image, timing);
}

struct PublisherFixture : ::testing::Test {
  std::shared_ptr<platform::VirtualRuntime> runtime = platform::VirtualRuntime::make();
  std::shared_ptr<FakeServer> server = std::make_shared<FakeServer>(runtime);
  std::shared_ptr<FakePathMonitor> monitor = std::make_shared<FakePathMonitor>();
  std::shared_ptr<platform::FixedWallClock> clock =
      std::make_shared<platform::FixedWallClock>(platform::Date(std::chrono::seconds(1'800'000'000)));
  bool hevcSupported = false;
  std::shared_ptr<RTMPPublisher> publisher;
  std::vector<State> states;
  std::vector<std::optional<std::string>> problems;
  std::vector<RTMPPublisher::Stats> stats;
  platform::ScopedSystemLogCapture logs;

  void SetUp() override { makePublisher([] { return 0.0; }); }

  // Empty `demoLiveElapsed`: the publisher reads the user default itself.
  void makePublisher(std::function<double()> demoLiveElapsed) {
    RTMPPublisher::Environment env;
    env.runtime = runtime;
    env.clock = clock;
    env.makeConnection = server->factory();
    env.probe = [this](StreamConfig::VideoCodec codec, int, int) {
      return EncoderSupport{codec != StreamConfig::VideoCodec::hevc || hevcSupported, true};
    };
    env.pathMonitor = monitor;
    env.demoLiveElapsed = std::move(demoLiveElapsed);
    publisher = RTMPPublisher::make(env);
    publisher->onState = [this](const State& s) { states.push_back(s); };
    publisher->onProblem = [this](const std::optional<std::string>& p) { problems.push_back(p); };
    publisher->onStats = [this](const RTMPPublisher::Stats& s) { stats.push_back(s); };
  }

  // Ends every session and wakes what hangs, so no task outlives the test.
  void TearDown() override {
    stop();
    for (auto& waiter : std::exchange(server->hanging, {})) waiter.resumeThrowing(platform::CancellationError());
    runtime->advance(seconds(30));
  }

  void start() {
    publisher->start("rtmp://127.0.0.1/live", "abcdefghij", {});
    runtime->runUntilIdle();
  }
  // Runs stop() to its end on virtual time; returns how long it took.
  platform::Nanos stop() {
    bool done = false;
    auto began = runtime->now();
    auto body = [](std::shared_ptr<RTMPPublisher> p, bool* flag) -> platform::Async<void> {
      co_await p->stop();
      *flag = true;
    };
    platform::spawnDetached(runtime->mainQueue(), std::move(body), publisher, &done);
    runtime->runUntilIdle();
    for (int i = 0; i < 1000 && !done; ++i) runtime->advance(ms(10));
    EXPECT_TRUE(done);
    return runtime->now() - began;
  }
  int logCount(const std::string& text) {
    const auto all = logs.sink().messages();
    return static_cast<int>(std::count(all.begin(), all.end(), text));
  }
  bool logged(const std::string& prefix) {
    for (const auto& m : logs.sink().messages())
      if (m.starts_with(prefix)) return true;
    return false;
  }
  void openGate(double at = 10.0) { publisher->gate().append(picture(at)); }
  void silentReport() {
    medley::NetworkMonitorReport report;
    publisher->updateStats(report, 2867200);
  }
  // A report that knows how long ago output last moved.
  void reportOutput(platform::Nanos ago, int64_t sentThisSecond = 0) {
    medley::NetworkMonitorReport report;
    report.currentBytesOutPerSecond = sentThisSecond;
    report.nanosSinceOutput = ago;
    publisher->updateStats(report, 2867200);
  }
};

TEST_F(PublisherFixture, FailingAttemptsBackOffAndTellTheUserFromTheThirdFailure) {
  server->scripts = {AttemptScript{Step::fail(timedOut())}};
  start();
  runtime->advance(seconds(20));
  ASSERT_GE(server->connectTimes.size(), 7u);
  std::vector<double> gaps;
  for (size_t i = 1; i < 7; ++i) gaps.push_back(platform::toSeconds(server->connectTimes[i] - server->connectTimes[i - 1]));
  EXPECT_EQ(gaps, (std::vector<double>{0.5, 1.0, 2.0, 3.0, 5.0, 5.0}));

  ASSERT_GE(states.size(), 3u);
  EXPECT_EQ(std::vector<State>(states.begin(), states.begin() + 3),
            (std::vector<State>{State::connecting(), State::reconnecting(2, "connection timed out"),
                                State::reconnecting(3, "connection timed out")}));
  // Problem texts: none for the first two failures, then one per failure.
  ASSERT_FALSE(problems.empty());
  EXPECT_EQ(*problems.front(),
            "Quarzadel can't reach the stream server (connection timed out). Check that the event is purchased and "
            "inside its streaming window, and that nobody else is live on it. Still retrying…");
  EXPECT_EQ(problems.size(), server->connectTimes.size() - 2);
  // Each given-up attempt was reset, none ended in order.
  EXPECT_EQ(server->connectionAborts, static_cast<int>(server->connectTimes.size()));
  EXPECT_EQ(server->connectionCloses, 0);
  EXPECT_EQ(stop(), 0);
  EXPECT_EQ(publisher->state(), State::idle());
}

TEST_F(PublisherFixture, StopDuringABlackHoleConnectIsIdleWithinTheDeadline) {
  server->scripts = {AttemptScript{Step::hang()}};
  start();
  // A start while wanting to be live changes nothing.
  publisher->start("rtmp://elsewhere/live", "other", {});
  runtime->advance(seconds(2));
  EXPECT_EQ(server->connectTimes.size(), 1u);
  EXPECT_EQ(logCount("Publish requested: rtmp://127.0.0.1/live/abcd…ij 1920x1080@30"), 1);
  platform::Nanos took = stop();
  EXPECT_LE(took, seconds(3) + ms(10));
  EXPECT_GE(took, seconds(3));
  EXPECT_EQ(states, (std::vector<State>{State::connecting(), State::stopping(), State::idle()}));
  EXPECT_EQ(logCount("Publish stopped by user"), 1);
  EXPECT_FALSE(logged("Publish attempt"));
  ASSERT_FALSE(stats.empty() || problems.empty());
  EXPECT_EQ(stats.back(), RTMPPublisher::Stats{}) << "cleared";
  EXPECT_EQ(problems.back(), std::nullopt);
  // A second stop with nothing to stop says nothing.
  stop();
  EXPECT_EQ(logCount("Publish stopped by user"), 1);
}

TEST_F(PublisherFixture, ALostConnectionReconnectsAfterHalfASecondKeepingTheLiveDate) {
  start();
  const State live = State::live(clock->now());
  ASSERT_EQ(states, (std::vector<State>{State::connecting(), live}));
  clock->advance(std::chrono::milliseconds(5000));
  for (const char* other : {"NetConnection.Connect.InvalidApp", "NetConnection.Call.Failed", "Something.Unknown"})
    server->sendStatus(other);
  runtime->advance(seconds(3));
  EXPECT_EQ(server->connectTimes.size(), 1u);

  server->sendStatus("NetConnection.Connect.Closed");
  runtime->runUntilIdle();
  // While the host still wants to be live the connection is reset, the stream left alone.
  EXPECT_EQ(std::tuple(server->streamCloses, server->connectionCloses, server->connectionAborts),
            std::tuple(0, 0, 1));
  runtime->advance(ms(499));
  EXPECT_EQ(server->connectTimes.size(), 1u);
  runtime->advance(ms(1));
  EXPECT_EQ(server->connectTimes.size(), 2u);
  EXPECT_EQ(states, (std::vector<State>{State::connecting(), live,
                                        State::reconnecting(1, "Connection closed (NetConnection.Connect.Closed)"), live}));
  // After a live period the encoder starts at half the maximum.
  ASSERT_EQ(server->videoSettings.size(), 2u);
  EXPECT_EQ(std::pair(server->videoSettings[0].bitRate, server->videoSettings[1].bitRate), std::pair(2867200, 1433600));
  // A manual bit rate goes to the active stream.
  platform::spawnDetached(runtime->mainQueue(), [](auto p) { return p->setVideoBitrate(1000000); }, publisher);
  runtime->runUntilIdle();
  EXPECT_EQ(server->videoSettings.back().bitRate, 1000000);
  // The host's stop ends in order: the stream, then the connection.
  stop();
  EXPECT_EQ(std::tuple(server->streamCloses, server->connectionCloses, server->connectionAborts),
            std::tuple(1, 1, 1));
}

// What became of the pictures is said once per live period, from the gate's
// count since it opened and the stream's own: whatever the statistics took
// meanwhile, whatever the gate passed before, and not for an attempt that never went live.
TEST_F(PublisherFixture, EachLivePeriodSaysHowManyPicturesItMadeSentAndDropped) {
  server->scripts = {AttemptScript{}, AttemptScript{Step::fail(timedOut())}, AttemptScript{}};
  start();
  for (int i = 0; i < 5; ++i) openGate(10.0 + i / 30.0);
  reportOutput(0, 1000);
  ASSERT_FALSE(stats.empty());
  EXPECT_EQ(stats.back().fps, 5);
  for (int i = 5; i < 8; ++i) openGate(10.0 + i / 30.0);
  server->sinks.back()->drops = 2;
  server->sendStatus("NetConnection.Connect.Closed");
  runtime->runUntilIdle();
  EXPECT_EQ(logCount("Live period's pictures: 8 made, 6 sent, 2 dropped"), 1);

  // The second attempt fails before its gate is armed; the third goes live.
  runtime->advance(seconds(2));
  ASSERT_EQ(server->connectTimes.size(), 3u);
  ASSERT_TRUE(publisher->state().isLive());
  for (int i = 0; i < 4; ++i) openGate(20.0 + i / 30.0);
  stop();
  publisher->gate().append(picture(21.0));
  EXPECT_EQ(logCount("Live period's pictures: 4 made, 4 sent, 0 dropped"), 1);
  const auto all = logs.sink().messages();
  EXPECT_EQ(std::count_if(all.begin(), all.end(), [](const auto& m) { return m.starts_with("Live period's pictures: "); }),
            2);
}

// "DemoLiveElapsed" dates the start of a live period back by its seconds, read
// from the user defaults when the period begins: a reconnect keeps the date, a
// new publish session reads the value again (a fraction, or a negative value that
// moves the date forward, as the command line gives it), and without the key the
// date is the moment the stream went live.
TEST_F(PublisherFixture, DemoLiveElapsedDatesTheLiveStartBackForTheWholePublishSession) {
  struct StandardDefaults {
    std::shared_ptr<platform::UserDefaults> previous = platform::UserDefaults::standard();
    std::shared_ptr<platform::UserDefaults> defaults = platform::UserDefaults::inMemory();
    StandardDefaults() { platform::UserDefaults::setStandard(defaults); }
    ~StandardDefaults() { platform::UserDefaults::setStandard(previous); }
  } standard;
  makePublisher({});
  standard.defaults->set("DemoLiveElapsed", 90);
  start();
  const platform::Date ninetyAgo = clock->now() - std::chrono::seconds(90);
  ASSERT_EQ(states, (std::vector<State>{State::connecting(), State::live(ninetyAgo)}));

  standard.defaults->set("DemoLiveElapsed", 5);
  clock->advance(std::chrono::milliseconds(5000));
  server->sendStatus("NetConnection.Connect.Closed");
  runtime->runUntilIdle();
  runtime->advance(ms(500));
  ASSERT_EQ(server->connectTimes.size(), 2u);
  EXPECT_EQ(states.back(), State::live(ninetyAgo));
  stop();

  standard.defaults->set("DemoLiveElapsed", "-1.5");
  states.clear();
  start();
  EXPECT_EQ(states, (std::vector<State>{State::connecting(), State::live(clock->now() + std::chrono::milliseconds(1500))}));
  stop();

  // A value the clock cannot hold (one written to the defaults file after the
  // launch's check) dates nothing back.
  for (const char* unusable : {"nan", "1e300", "-inf"}) {
    standard.defaults->set("DemoLiveElapsed", unusable);
    states.clear();
    start();
    EXPECT_EQ(states, (std::vector<State>{State::connecting(), State::live(clock->now())})) << unusable;
    stop();
  }

  standard.defaults->remove("DemoLiveElapsed");
  states.clear();
  clock->advance(std::chrono::seconds(3));
  start();
  EXPECT_EQ(states, (std::vector<State>{State::connecting(), State::live(clock->now())}));
}

TEST_F(PublisherFixture, AStopClosesInOrderAndResetsAConnectionWhoseCloseOutlastsItsDeadline) {
  server->scripts = {AttemptScript{Step::ok(), Step::ok(), Step::ok(), Step::ok(), Step::hang()}};
  start();
  ASSERT_TRUE(publisher->state().isLive());
  const platform::Nanos took = stop();
  EXPECT_EQ(server->streamCloses, 1);
  EXPECT_EQ(server->connectionEvents, (std::vector<std::string>{"connect 0", "close 0", "abort 0"}));
  EXPECT_LE(took, seconds(2));
}

// HEVC is chosen only on the probe's word that the GPU encodes it, so the
// stream must not encode it in software; H.264 has no such requirement.
TEST_F(PublisherFixture, HEVCIsGivenToTheStreamAsRequiringTheHardwareEncoder) {
  hevcSupported = true;
  start();
  ASSERT_FALSE(server->videoSettings.empty());
  EXPECT_EQ(server->videoSettings.back().format(), medley::VideoCodecSettings::Format::hevc);
  EXPECT_TRUE(server->videoSettings.back().isHardwareEncoderRequired);
  EXPECT_EQ(server->videoSettings.back().bitRateMode, medley::VideoCodecSettings::BitRateMode::constant());
  stop();
  hevcSupported = false;
  start();
  EXPECT_EQ(server->videoSettings.back().format(), medley::VideoCodecSettings::Format::h264);
  EXPECT_FALSE(server->videoSettings.back().isHardwareEncoderRequired);
}

TEST_F(PublisherFixture, AStalledHEVCUploadFallsBackToH264Once) {
  hevcSupported = true;
  start();
  EXPECT_TRUE(logged("Encoder: HEVC 1920x1080@30 CBR 2867 kbps, audio 96 kbps"));
  // Silent reports count only once the gate is open, and anything sent resets them.
  for (int i = 0; i < 8; ++i) silentReport();
  EXPECT_EQ(publisher->zeroOutputSeconds(), 0);
  openGate();
  for (int i = 0; i < 3; ++i) silentReport();
  EXPECT_EQ(publisher->zeroOutputSeconds(), 3);
  medley::NetworkMonitorReport sending;
  sending.currentBytesOutPerSecond = 1000;
  publisher->updateStats(sending, 2867200);
  EXPECT_EQ(publisher->zeroOutputSeconds(), 0);
  for (int i = 0; i < 4; ++i) silentReport();
  runtime->advance(seconds(2));
  EXPECT_FALSE(logged("Publish interrupted"));
  silentReport();
  // The fifth is acted on within a tenth of a second, not at a whole second's check.
  runtime->advance(ms(100));
  EXPECT_EQ(logCount("HEVC output stalled; switching to H.264"), 1);
  EXPECT_EQ(std::pair(server->connectionAborts, server->connectionCloses), std::pair(1, 0));
  runtime->advance(ms(500));
  EXPECT_TRUE(logged("Encoder: H.264 1920x1080@30 CBR 1433 kbps, audio 96 kbps"));
  EXPECT_EQ(publisher->activeCodec(), StreamConfig::VideoCodec::h264);

  // A second stall in H.264 does not switch again.
  openGate(20.0);
  for (int i = 0; i < 5; ++i) silentReport();
  runtime->advance(seconds(1));
  EXPECT_EQ(logCount("Publish interrupted: Upload stalled"), 2);
  EXPECT_EQ(logCount("HEVC output stalled; switching to H.264"), 1);

  // A new start clears the fallback.
  stop();
  start();
  EXPECT_EQ(publisher->activeCodec(), StreamConfig::VideoCodec::hevc);
}

// The GPU's HEVC encoder can fail to start after the probe found it; the
// stream then sends H.264, and what the host reads follows the stream.
TEST_F(PublisherFixture, AStreamThatSendsH264InsteadOfHEVCIsLoggedAndCountedAsH264) {
  hevcSupported = true;
  start();
  ASSERT_TRUE(publisher->state().isLive());
  EXPECT_EQ(logCount("Encoder: HEVC 1920x1080@30 CBR 2867 kbps, audio 96 kbps"), 1);
  server->sentVideoCodec.set(StreamConfig::VideoCodec::hevc);
  runtime->runUntilIdle();
  EXPECT_FALSE(logged("Encoder: H.264")) << "HEVC as configured: nothing to tell";

  server->sentVideoCodec.set(StreamConfig::VideoCodec::h264);
  runtime->runUntilIdle();
  EXPECT_EQ(logCount("Encoder: H.264 1920x1080@30 CBR 2867 kbps, audio 96 kbps"), 1);
  EXPECT_EQ(publisher->activeCodec(), StreamConfig::VideoCodec::h264);
  openGate();
  publisher->updateStats({}, 2867200);
  ASSERT_FALSE(stats.empty());
  EXPECT_EQ(stats.back().codec, "H.264");

  // Already H.264: a stall is not blamed on HEVC, and the next attempt asks for H.264 at once.
  for (int i = 0; i < 5; ++i) silentReport();
  runtime->advance(seconds(1));
  EXPECT_EQ(logCount("Publish interrupted: Upload stalled"), 1);
  EXPECT_EQ(logCount("HEVC output stalled; switching to H.264"), 0);
  ASSERT_EQ(server->videoSettings.size(), 2u);
  EXPECT_EQ(server->videoSettings[1].format(), medley::VideoCodecSettings::Format::h264);
  EXPECT_FALSE(server->videoSettings[1].isHardwareEncoderRequired);
  EXPECT_EQ(logCount("Encoder: H.264 1920x1080@30 CBR 1433 kbps, audio 96 kbps"), 1);
}

TEST_F(PublisherFixture, TheUploadStallsFourSecondsAfterOutputLastMovedNotAtTheFifthSilentReport) {
  start();
  openGate();
  // Slow but moving, once a second and early in it: never a stall.
  for (int i = 0; i < 12; ++i) {
    runtime->advance(seconds(1));
    reportOutput(ms(900), 100);
  }
  EXPECT_FALSE(logged("Publish interrupted"));

  // Output stops a tenth into the next second; that second still sent something.
  const platform::Nanos stoppedAt = runtime->now() + ms(100);
  runtime->advance(seconds(1));
  reportOutput(ms(900), 100);
  for (int i = 0; i < 3; ++i) {
    runtime->advance(seconds(1));
    reportOutput(runtime->now() - stoppedAt);
  }
  EXPECT_EQ(publisher->zeroOutputSeconds(), 3);
  runtime->advance(stoppedAt + seconds(4) - runtime->now());
  EXPECT_FALSE(logged("Publish interrupted")) << "four seconds exactly is not more than four";
  runtime->advance(ms(100));
  EXPECT_EQ(logCount("Publish interrupted: Upload stalled"), 1);
  EXPECT_EQ(server->connectionAborts, 1);
}

TEST_F(PublisherFixture, NeitherAClosedGateNorAMonitorThatFellSilentIsAStall) {
  start();
  // Armed, not open: reports of a long silence count for nothing.
  for (int i = 1; i <= 10; ++i) {
    runtime->advance(seconds(1));
    reportOutput(seconds(i));
  }
  // Open from now on: the silence counts from the opening, not from the reports' word.
  openGate();
  const platform::Nanos openedAt = runtime->now();
  for (int i = 1; i <= 3; ++i) {
    runtime->advance(seconds(1));
    reportOutput(seconds(10 + i));
  }
  runtime->advance(ms(900));
  EXPECT_FALSE(logged("Publish interrupted"));
  EXPECT_EQ(publisher->zeroOutputSeconds(), 3);

  // Output moved; then the monitor says nothing more, and a word is not carried forward for ever.
  runtime->advance(ms(100));
  reportOutput(ms(500), 100);
  runtime->advance(seconds(10));
  EXPECT_FALSE(logged("Publish interrupted"));
  // Its next word, of a silence since then, is acted on at once.
  reportOutput(seconds(10) + ms(500));
  runtime->advance(ms(100));
  EXPECT_EQ(logCount("Publish interrupted: Upload stalled"), 1);
  EXPECT_GT(runtime->now() - openedAt, seconds(14));
}

// While live the watch has nothing to look at between reports unless the
// silence rule can come due: it waits without a timer, or for that moment.
TEST_F(PublisherFixture, TheLiveWatchWaitsForTheMomentTheSilenceRuleCanHoldAndWhatWakesIt) {
  start();
  ASSERT_TRUE(publisher->state().isLive());
  // Until the first picture opens the gate, a look every tenth of a second.
  EXPECT_EQ(runtime->nextTimerTime(), runtime->now() + ms(100));
  openGate();
  runtime->advance(ms(100));
  EXPECT_EQ(runtime->pendingTimers(), 0u) << "no report has told the output's age yet";
  // Steady output: each report's word is older than 2 s by the time a silence could reach 4 s.
  for (int i = 0; i < 5; ++i) {
    runtime->advance(seconds(1));
    reportOutput(ms(300), 100);
    runtime->runUntilIdle();
    EXPECT_EQ(runtime->pendingTimers(), 0u);
  }
  // Output stops. The word of a report 1.3 s into the silence would be stale
  // at its fourth second; that of the next report arms a look just after it.
  const platform::Nanos stoppedAt = runtime->now() - ms(300);
  runtime->advance(seconds(1));
  reportOutput(runtime->now() - stoppedAt);
  runtime->runUntilIdle();
  EXPECT_EQ(runtime->pendingTimers(), 0u);
  runtime->advance(seconds(1));
  reportOutput(runtime->now() - stoppedAt);
  runtime->runUntilIdle();
  const platform::Nanos due = stoppedAt + seconds(4) + 1;
  EXPECT_EQ(runtime->nextTimerTime(), due);
  EXPECT_EQ(runtime->pendingTimers(), 1u);
  runtime->advance(due - 1 - runtime->now());
  EXPECT_FALSE(logged("Publish interrupted"));
  runtime->advance(1);
  EXPECT_EQ(logCount("Publish interrupted: Upload stalled"), 1);

  // The fifth silent report and a lost network are acted on at once, with no time passing.
  runtime->advance(seconds(1));
  ASSERT_TRUE(publisher->state().isLive());
  openGate(20.0);
  for (int i = 0; i < 5; ++i) silentReport();
  runtime->runUntilIdle();
  EXPECT_EQ(logCount("Publish interrupted: Upload stalled"), 2);
  runtime->advance(seconds(1));
  ASSERT_TRUE(publisher->state().isLive());
  monitor->handler(false);
  runtime->runUntilIdle();
  EXPECT_EQ(logCount("Publish interrupted: Network lost"), 1);
}

TEST_F(PublisherFixture, ALateLoopOfAnOldSessionLeavesTheNewSessionAlone) {
  // Session 1 hangs in connect for 10 s; its stop gives up after 3 s.
  server->scripts = {AttemptScript{Step::fail(timedOut(), seconds(10))}, AttemptScript{}};
  start();
  stop();
  EXPECT_EQ(publisher->state(), State::idle());
  start();
  runtime->runUntilIdle();
  ASSERT_TRUE(publisher->state().isLive());
  openGate();
  // The old loop's connect ends now: it must neither close the gate nor log a failure.
  runtime->advance(seconds(8));
  EXPECT_TRUE(publisher->gate().isOpen());
  EXPECT_TRUE(publisher->state().isLive());
  EXPECT_FALSE(logged("Publish attempt"));
  publisher->gate().append(picture(11.0));
  EXPECT_EQ(server->sinks.back()->video, 2);
}

TEST_F(PublisherFixture, NoAttemptWithoutANetworkAndLosingItWhileLiveEndsThePeriod) {
  monitor->handler(false);
  start();
  EXPECT_EQ(monitor->destination, "127.0.0.1");
  EXPECT_TRUE(server->connectTimes.empty());
  EXPECT_EQ(states, (std::vector<State>{State::connecting(), State::reconnecting(1, "No internet connection")}));
  EXPECT_EQ(problems, (std::vector<std::optional<std::string>>{std::string(RTMPPublisher::kOfflineProblem)}));
  monitor->handler(true);
  runtime->runUntilIdle();
  EXPECT_EQ(server->connectTimes.size(), 1u);
  EXPECT_TRUE(publisher->state().isLive());
  monitor->handler(false);
  runtime->advance(ms(1500));
  EXPECT_EQ(publisher->state(), State::reconnecting(1, "No internet connection"));
  // A reset sent while offline would be lost: the connection is reset once
  // the network is back, before the next attempt.
  EXPECT_EQ(server->connectionEvents, (std::vector<std::string>{"connect 0"}));
  monitor->handler(true);
  runtime->runUntilIdle();
  EXPECT_EQ(server->connectionEvents, (std::vector<std::string>{"connect 0", "abort 0", "connect 1"}));
  // Given up offline again, a stop resets it.
  monitor->handler(false);
  runtime->advance(ms(1500));
  stop();
  EXPECT_EQ(server->connectionEvents,
            (std::vector<std::string>{"connect 0", "abort 0", "connect 1", "abort 1"}));
}

}  // namespace
}  // namespace quarzadel
