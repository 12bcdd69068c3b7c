#include "Quarzadel/Capture/SyntheticToneSource.h"

#include <cmath>
#include <numbers>

#include <gtest/gtest.h>

#include "Platform/Dispatch/VirtualRuntime.h"
#include "Platform/Media/PCMBuffer.h"

namespace quarzadel {
namespace {

struct Delivery {
  platform::PCMBufferRef buffer;
  double time;
};

class ToneTest : public ::testing::Test {
 protected:
  void startTone() {
    queue->async([this] {
      tone->start(
          queue, [this](PCMBufferRef b, double t) { got.push_back({b, t}); },
          [this](const std::string&) { ++failures; });
    });
    runtime->runUntilIdle();
  }

  // 1000.0 s is an even second: the beep runs from 1000.0 to 1000.1.
  std::shared_ptr<platform::VirtualRuntime> runtime = platform::VirtualRuntime::make(platform::seconds(1000.0));
  std::shared_ptr<platform::SerialQueue> queue = platform::SerialQueue::make("tone", runtime);
  std::shared_ptr<SyntheticToneSource> tone = std::make_shared<SyntheticToneSource>(ToneSpec{"synthetic-tone", "Tone"});
  std::vector<Delivery> got;
  int failures = 0;
};

TEST(ToneSamples, BeepIsAOneKilohertzSineOfHalfAmplitudeInTheFirstTenthOfEveryEvenSecond) {
  const int64_t evenSecond = 1000 * 48000;
  for (int64_t i = 0; i < 4800; i += 7)
    ASSERT_NEAR(SyntheticToneSource::sampleAt(evenSecond + i), 0.5 * std::sin(2 * std::numbers::pi * i / 48.0), 1e-6) << i;
  for (int64_t silent : {evenSecond + 4800, evenSecond - 1, evenSecond + 48000 + 12})  // the last in an odd second
    EXPECT_EQ(SyntheticToneSource::sampleAt(silent), 0.0f) << silent;
  EXPECT_NEAR(SyntheticToneSource::sampleAt(evenSecond + 96000 + 12), 0.5f, 1e-6);
}

TEST_F(ToneTest, DeliversContiguousTenMillisecondBuffersTenMillisecondsBehindTheClock) {
  startTone();
  runtime->advance(platform::milliseconds(99));
  EXPECT_TRUE(got.empty());
  runtime->advance(platform::milliseconds(1));
  ASSERT_EQ(got.size(), 1u);
  // The first buffer begins 20 ms before the clock at that tick.
  EXPECT_NEAR(got[0].time, 1000.1 - 0.02, 1e-9);
  runtime->advance(platform::seconds(1.0));
  ASSERT_EQ(got.size(), 101u);
  EXPECT_EQ(failures, 0);
  runtime->advance(platform::seconds(1.5));
  int beeping = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    const auto& b = *got[i].buffer;
    ASSERT_EQ(b.frameLength(), 480u);
    ASSERT_EQ(b.format(), platform::AudioFormat::standard(48000, 1));
    if (i > 0) ASSERT_NEAR(got[i].time - got[i - 1].time, 0.01, 1e-9);
    // The samples follow the buffer's host time.
    const auto first = static_cast<int64_t>(std::llround(got[i].time * 48000));
    for (int k = 0; k < 480; ++k) ASSERT_EQ(b.floatChannelData()[0][k], SyntheticToneSource::sampleAt(first + k));
    beeping += b.floatChannelData()[0][1] != 0;
  }
  // The end of the beep at 1000.0 (from 1000.08 on) and the whole beep at 1002.0.
  EXPECT_EQ(beeping, 2 + 10);
  // The end of the latest buffer stays 10 ms behind the clock.
  EXPECT_NEAR(got.back().time + 0.01, platform::toSeconds(runtime->now()) - 0.01, 1e-6);
  // A stopped tone delivers nothing more and leaves no timer behind.
  const size_t n = got.size();
  tone->stop();
  tone->stop();
  runtime->advance(platform::seconds(1));
  EXPECT_EQ(got.size(), n);
  EXPECT_EQ(runtime->pendingTimers(), 0u);
}

TEST_F(ToneTest, ALateTickCatchesUpWithWholeBuffersAndKeepsTheRestForLater) {
  startTone();
  runtime->advanceTo(platform::seconds(1000.105));
  ASSERT_EQ(got.size(), 1u);  // 0.080 ... 0.090
  // The queue is busy until 145 ms: the ticks due at 120 and 140 ms run as one, 25 ms late.
  queue->async([this] { runtime->advanceTo(platform::seconds(1000.145)); });
  runtime->runUntilIdle();
  ASSERT_EQ(got.size(), 5u);
  for (size_t i = 1; i < got.size(); ++i) EXPECT_NEAR(got[i].time, 1000.080 + 0.01 * static_cast<double>(i), 1e-9);
  // The 5 ms left over goes out with the next tick, at 160 ms.
  runtime->advanceTo(platform::seconds(1000.155));
  ASSERT_EQ(got.size(), 5u);
  runtime->advanceTo(platform::seconds(1000.160));
  ASSERT_EQ(got.size(), 7u);
  EXPECT_NEAR(got[5].time, 1000.130, 1e-9);
  EXPECT_NEAR(got[6].time, 1000.140, 1e-9);
}

}  // namespace
}  // namespace quarzadel
