#include "Quarzadel/Program/ProgramAudioTimeline.h"

#include <gtest/gtest.h>

#include "program_test_support.h"

namespace quarzadel {
namespace {

using testing::OutputLog;
using testing::rampBuffer;

constexpr double kRate = 48000;
constexpr double kT0 = 1000.0;

class TimelineTest : public ::testing::Test {
 protected:
  TimelineTest() {
    timeline.setOutput([this](const platform::PCMBufferRef& b, const platform::AudioTime& t) { out(b, t); });
  }
  // Host seconds of timeline frame k, with the anchor at kT0.
  static double at(double frames) { return kT0 + frames / kRate; }

  ProgramAudioTimeline timeline;
  OutputLog out;
};

// Every output buffer must start exactly where the previous one ended, in host
// time and in sample time.
void expectBackToBack(const OutputLog& out) {
  for (size_t i = 1; i < out.buffers.size(); ++i) {
    const auto &prev = out.buffers[i - 1], &cur = out.buffers[i];
    EXPECT_EQ(cur.time.sampleTime, prev.time.sampleTime + prev.buffer->frameLength()) << "buffer " << i;
    EXPECT_NEAR(platform::toSeconds(cur.time.hostTime - prev.time.hostTime), prev.buffer->frameLength() / kRate, 1e-8)
        << "buffer " << i;
  }
}

// Beyond 50 ms a gap is filled with silence in chunks and an overlap cuts the
// buffer's start.
TEST_F(TimelineTest, GapsAndOverlapsBeyondFiftyMillisecondsAreRepaired) {
  timeline.place(*rampBuffer(480), kT0);
  timeline.place(*rampBuffer(480, 1000), at(480 + 4800));  // 100 ms late
  ASSERT_EQ(out.buffers.size(), 4u);
  EXPECT_EQ(out.buffers[1].buffer->frameLength(), 4096u);
  EXPECT_EQ(out.buffers[2].buffer->frameLength(), 704u);
  const auto left = out.channel(0);
  for (int i = 480; i < 480 + 4800; ++i) ASSERT_EQ(left[i], 0.0f) << i;
  EXPECT_EQ(left[480 + 4800], 1000.0f);
  EXPECT_EQ(timeline.smoothedError(), 0);

  // 60 ms (2880 frames) before the end: a 1024-frame buffer lies wholly inside,
  // a 4096-frame one keeps its last 1216 frames.
  const int64_t end = timeline.emittedSamples();
  timeline.place(*rampBuffer(1024), at(end - 2880));
  EXPECT_EQ(timeline.emittedSamples(), end);
  timeline.place(*rampBuffer(4096, 1), at(end - 2880));
  EXPECT_EQ(out.buffers.back().buffer->frameLength(), 1216u);
  EXPECT_EQ(out.buffers.back().buffer->floatChannelData()[0][0], 1.0f + 2880);

  expectBackToBack(out);
}

// After a resync a buffer whose place was already handed on (a block that
// arrived late) lands whole at the end and the next ones keep its delay; the
// next resync measures the delay anew.
TEST_F(TimelineTest, ALateBufferAfterAResyncIsTakenWholeAndTheNextKeepItsDelay) {
  timeline.place(*rampBuffer(480), kT0);
  timeline.insertSilence(4800);
  timeline.requestResync();
  timeline.place(*rampBuffer(96000, 1), at(0));
  EXPECT_EQ(out.buffers.back().buffer->frameLength(), 96000u);
  EXPECT_EQ(out.buffers.back().buffer->floatChannelData()[0][0], 1.0f);
  EXPECT_NEAR(timeline.delay(), 5280 / kRate, 1e-9);
  timeline.place(*rampBuffer(480, 7), at(96000));
  EXPECT_EQ(out.buffers.back().buffer->frameLength(), 480u);
  EXPECT_EQ(timeline.emittedSamples(), 5280 + 96000 + 480);

  const int64_t end = timeline.emittedSamples();
  timeline.requestResync();
  timeline.place(*rampBuffer(480, 3), at(end + 100));
  EXPECT_EQ(timeline.delay(), 0);
  EXPECT_EQ(timeline.emittedSamples(), end + 100 + 480);
  EXPECT_EQ(out.channel(0)[end + 100], 3.0f);
  expectBackToBack(out);
}

// A source steadily 30 samples late (early) is corrected one repeated (dropped)
// sample at a time, always the buffer's first, until the offset settles.
TEST(TimelineDriftTest, ASteadyOffsetIsCorrectedOneSampleAtATime) {
  constexpr int n = 480;
  for (const double offset : {30.0, -30.0}) {
    SCOPED_TRACE(offset);
    OutputLog out;
    ProgramAudioTimeline timeline([&](const platform::PCMBufferRef& b, const platform::AudioTime& t) { out(b, t); });
    timeline.place(*rampBuffer(n), kT0);
    int firstCorrection = -1;
    for (int k = 1; k <= 400; ++k) {
      timeline.place(*rampBuffer(n, 1), kT0 + (k * n + offset) / kRate);
      const auto& b = out.buffers.back().buffer;
      if (b->frameLength() == n) continue;
      ASSERT_EQ(b->frameLength(), offset > 0 ? n + 1 : n - 1) << k;
      if (firstCorrection < 0) firstCorrection = k;
      EXPECT_EQ(b->floatChannelData()[0][0], offset > 0 ? 1.0f : 2.0f);
      EXPECT_EQ(b->floatChannelData()[1][1], offset > 0 ? 1.0f : 3.0f);
    }
    if (offset > 0) EXPECT_EQ(firstCorrection, 32);
    // Six corrections brought the offset down to 24 samples; then the correction stops.
    EXPECT_EQ(timeline.emittedSamples(), 401 * n + (offset > 0 ? 6 : -6));
    EXPECT_LE(std::abs(timeline.smoothedError()), ProgramAudioTimeline::kDriftThreshold);
    expectBackToBack(out);
    if (offset > 0) continue;
    // A single-frame buffer is never shortened to nothing.
    const int64_t before = timeline.emittedSamples();
    for (int k = 0; k < 200; ++k) timeline.place(*rampBuffer(1), kT0 + (before + k - 60.0) / kRate);
    EXPECT_EQ(timeline.emittedSamples(), before + 200);
  }
}

}  // namespace
}  // namespace quarzadel
