#include <gtest/gtest.h>

#include "Medley/Sources/Stream/StreamVideoAdaptiveBitRateStrategy.h"
#include "Medley/Stream/stream_test_support.h"

using namespace medleytest;
using medley::NetworkMonitorEvent;
using medley::NetworkMonitorReport;
using medley::StreamVideoAdaptiveBitRateStrategy;

namespace {

struct StrategyTest : testing::Test {
  std::shared_ptr<platform::VirtualRuntime> rt = platform::VirtualRuntime::make();
  std::shared_ptr<FakeStream> stream = std::make_shared<FakeStream>(rt);

  std::shared_ptr<StreamVideoAdaptiveBitRateStrategy> install(int ceiling, int bitRate, int audioBitRate = 96'000) {
    auto strategy = std::make_shared<StreamVideoAdaptiveBitRateStrategy>(ceiling, rt);
    runNow(rt, stream->setBitRateStrategy(strategy));
    auto video = stream->outgoingStream().videoSettings();
    video.bitRate = bitRate;
    stream->outgoingStream().setVideoSettings(video);
    auto audio = stream->outgoingStream().audioSettings();
    audio.bitRate = audioBitRate;
    stream->outgoingStream().setAudioSettings(audio);
    return strategy;
  }
  void dispatch(const NetworkMonitorEvent& event, int times = 1) {
    for (int i = 0; i < times; ++i) runNow(rt, stream->dispatch(event));
  }
  int bitRate() const { return stream->outgoingStream().videoSettings().bitRate; }
  double frameInterval() const { return stream->outgoingStream().videoSettings().frameInterval; }
  static NetworkMonitorEvent insufficient(int64_t bytesOutPerSecond) {
    NetworkMonitorReport report;
    report.currentBytesOutPerSecond = bytesOutPerSecond;
    return NetworkMonitorEvent::publishInsufficientBWOccured(report);
  }
  static NetworkMonitorEvent status() { return NetworkMonitorEvent::status(NetworkMonitorReport{}); }
};

}  // namespace

TEST_F(StrategyTest, GoodSecondsRaiseTheBitRateInTenthsUpToTheCeilingAndNoFurther) {
  auto strategy = install(1'000'000, 500'000);
  dispatch(status(), 10);
  dispatch(insufficient(0));  // starts the good seconds over
  dispatch(status(), 15);
  EXPECT_EQ(bitRate(), 500'000);
  EXPECT_EQ(runNow(rt, strategy->sufficientBWCounts()), 15);
  dispatch(status());
  EXPECT_EQ(bitRate(), 600'000);
  EXPECT_EQ(runNow(rt, strategy->sufficientBWCounts()), 0);
  for (int expected : {700'000, 800'000, 900'000, 1'000'000}) {
    dispatch(status(), 16);
    EXPECT_EQ(bitRate(), expected);
  }
  const int calls = stream->videoSettingsCalls;
  dispatch(status(), 40);
  EXPECT_EQ(bitRate(), 1'000'000);
  EXPECT_EQ(stream->videoSettingsCalls, calls) << "at the ceiling nothing is applied";
  EXPECT_EQ(runNow(rt, strategy->sufficientBWCounts()), 0) << "nor counted";
}

TEST_F(StrategyTest, StepsStayBetweenATenthOfTheCeilingAndTheCeiling) {
  struct Case {
    int ceiling, bitRate;
    std::optional<int64_t> bytesOut;  // insufficient bandwidth with these bytes out, or sixteen good seconds
    int expected;
  };
  const Case cases[] = {
      {1'000'000, 950'000, std::nullopt, 1'000'000},  // a raise stops at the ceiling
      {3'000'000, 3'000'000, 250'000, 1'904'000},     // what got through, less the audio
      {3'000'000, 3'000'000, 10'000, 300'000},        // never below a tenth
      {1'000'000, 400'000, 2'000'000, 1'000'000},     // a burst after a stall never lifts above the ceiling
  };
  for (const auto& c : cases) {
    stream = std::make_shared<FakeStream>(rt);
    install(c.ceiling, c.bitRate);
    if (c.bytesOut) dispatch(insufficient(*c.bytesOut));
    else dispatch(status(), 16);
    EXPECT_EQ(bitRate(), c.expected) << c.ceiling << " " << c.bitRate;
    EXPECT_EQ(frameInterval(), 0);
    EXPECT_EQ(stream->outgoingStream().audioSettings().bitRate, 96'000) << "audio is never touched";
  }
}

TEST_F(StrategyTest, AStalledUplinkThinsTheFrameRateAtTheThirdAndFifthEvent) {
  auto strategy = install(2'000'000, 2'000'000);
  std::vector<double> intervals;
  for (int i = 0; i < 5; ++i) {
    dispatch(insufficient(0));
    intervals.push_back(frameInterval());
  }
  EXPECT_EQ(intervals, (std::vector<double>{0, 0, 0.099, 0.099, 0.199}));
  EXPECT_EQ(stream->videoSettingsCalls, 5) << "each event applies the settings, changed or not";
  EXPECT_EQ(bitRate(), 2'000'000);
  EXPECT_EQ(runNow(rt, strategy->zeroBytesOutPerSecondCounts()), 5);

  // Bytes flow again: what got through is shared out over the stalled seconds.
  dispatch(insufficient(600'000));
  EXPECT_EQ(bitRate(), 600'000 * 8 / 6 - 96'000);
  EXPECT_EQ(frameInterval(), 0);
  EXPECT_EQ(runNow(rt, strategy->zeroBytesOutPerSecondCounts()), 0);
}

TEST_F(StrategyTest, ResetRestoresTheCeilingButKeepsAThinnedFrameRate) {
  auto strategy = install(2'000'000, 500'000);
  dispatch(insufficient(0), 3);
  ASSERT_EQ(frameInterval(), 0.099);
  dispatch(NetworkMonitorEvent::reset());
  EXPECT_EQ(bitRate(), 2'000'000);
  EXPECT_EQ(frameInterval(), 0.099);
  EXPECT_EQ(runNow(rt, strategy->zeroBytesOutPerSecondCounts()), 0);
}

TEST_F(StrategyTest, RefusedSettingsStillMoveTheCounters) {
  auto strategy = install(1'000'000, 500'000);
  stream->refuseSettings = true;
  dispatch(status(), 16);
  EXPECT_EQ(bitRate(), 500'000);
  EXPECT_EQ(runNow(rt, strategy->sufficientBWCounts()), 0);
  dispatch(insufficient(0), 2);
  EXPECT_EQ(runNow(rt, strategy->zeroBytesOutPerSecondCounts()), 2);
}
