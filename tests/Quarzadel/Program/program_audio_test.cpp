#include "Quarzadel/Program/ProgramAudio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "Platform/Audio/CaptureStamps.h"
#include "Platform/Dispatch/VirtualRuntime.h"
#include "program_test_support.h"

namespace quarzadel {
namespace {

using Event = ProgramAudio::Event;
using testing::constantBuffer;
using testing::FakeAudioSource;
using testing::OutputLog;

constexpr double kRate = 48000;

class ProgramAudioTest : public ::testing::Test {
 protected:
  ProgramAudioTest() {
    audio->onOutput = [this](const platform::PCMBufferRef& b, const platform::AudioTime& t) { out(b, t); };
    audio->onLevel = [this](AudioLevel l) { levels.push_back(l); };
    audio->onEvent = [this](const Event& e) { events.push_back(e); };
  }

  double now() const { return platform::toSeconds(runtime->now()); }
  void advance(double s) { runtime->advance(platform::seconds(s)); }
  void idle() { runtime->runUntilIdle(); }
  void switchTo(const std::shared_ptr<FakeAudioSource>& s) { audio->switchTo(s), idle(); }
  // Started, with `a` on air.
  std::shared_ptr<FakeAudioSource> startWithA() {
    audio->start();
    auto a = mic("a");
    switchTo(a);
    return a;
  }

  std::shared_ptr<FakeAudioSource> mic(const std::string& id, const std::string& name = "") {
    return std::make_shared<FakeAudioSource>(id, name.empty() ? "Mic " + id : name);
  }
  // A 10 ms buffer stamped 10 ms before now, as a capture device delivers it.
  void deliverNow(FakeAudioSource& source, float value = 0.5f) {
    source.deliver(constantBuffer(480, value), now() - 0.01), idle();
  }
  // The source delivers every 10 ms for `seconds`.
  void stream(FakeAudioSource& source, double seconds, float value = 0.5f) {
    for (int i = 0; i < static_cast<int>(seconds * 100 + 0.5); ++i) {
      deliverNow(source, value);
      advance(0.01);
    }
  }
  std::vector<Event> eventsOf(Event::Kind kind) const {
    std::vector<Event> v;
    std::copy_if(events.begin(), events.end(), std::back_inserter(v), [kind](const Event& e) { return e.kind == kind; });
    return v;
  }
  double endOfStream() const {
    const auto& last = out.buffers.back();
    return platform::toSeconds(last.time.hostTime) + last.buffer->frameLength() / kRate;
  }

  std::shared_ptr<platform::VirtualRuntime> runtime = platform::VirtualRuntime::make();
  std::shared_ptr<ProgramAudio> audio = ProgramAudio::make(runtime);
  OutputLog out;
  std::vector<AudioLevel> levels;
  std::vector<Event> events;
};

TEST_F(ProgramAudioTest, ANewerSwitchReplacesAnUnheardPendingSourceAndTheCutFadesIn) {
  auto a = startWithA();
  stream(*a, 0.1, 1.0f);
  auto b = mic("b"), c = mic("c"), onAirAgain = mic("a"), pendingAgain = mic("c");
  audio->switchTo(onAirAgain);
  audio->switchTo(b);
  audio->switchTo(c);
  switchTo(pendingAgain);
  EXPECT_EQ(onAirAgain->starts + pendingAgain->starts, 0);
  EXPECT_EQ(b->stops, 1);
  EXPECT_EQ(a->stops, 0);  // a plays on until c delivers
  stream(*a, 0.05, 1.0f);
  const int64_t before = out.frames();

  c->deliver(constantBuffer(960, 1.0f), endOfStream()), idle();
  EXPECT_EQ(a->stops, 1);
  EXPECT_EQ(eventsOf(Event::Kind::onAir).back(), Event::onAir("c", "Mic c"));
  // Buffers and failures the replaced sources still deliver are dropped.
  const size_t eventCount = events.size();
  b->deliver(constantBuffer(480, 1.0f), now());
  a->deliver(constantBuffer(480, 1.0f), now());
  a->fail("gone");
  b->fail("gone"), idle();
  EXPECT_EQ(events.size(), eventCount);
  const auto left = out.channel(0);
  ASSERT_EQ(static_cast<int64_t>(left.size()), before + 960);
  EXPECT_EQ(left[before], 0.0f);
  EXPECT_FLOAT_EQ(left[before + 240], 0.5f);
  EXPECT_EQ(left[before + 480], 1.0f);
}

TEST_F(ProgramAudioTest, APendingOrReopenedMicrophoneThatFailsOrNeverDeliversIsGivenUp) {
  auto a = startWithA();
  stream(*a, 0.1);
  auto b = mic("b", "Desk Mic");
  switchTo(b);
  stream(*a, 7.9);
  EXPECT_TRUE(eventsOf(Event::Kind::switchFailed).empty());
  stream(*a, 0.2);
  EXPECT_EQ(b->stops, 1);
  EXPECT_EQ(eventsOf(Event::Kind::switchFailed),
            std::vector<Event>{Event::switchFailed("b", "Desk Mic", "Desk Mic didn't send any audio.")});
  EXPECT_EQ(a->stops, 0);
  // The host can pick it again: a new object is opened; its failure is reported
  // and the on-air microphone plays on.
  auto b2 = mic("b", "Desk Mic");
  switchTo(b2);
  EXPECT_EQ(b2->starts, 1);
  b2->fail("Desk Mic was disconnected."), idle();
  EXPECT_EQ(b2->stops, 1);
  EXPECT_EQ(events.back(), Event::switchFailed("b", "Desk Mic", "Desk Mic was disconnected."));
  const int64_t before = out.frames();
  deliverNow(*a);
  EXPECT_EQ(out.frames(), before + 480);

  // A reopened on-air microphone that stays silent counts as the on-air microphone failing.
  audio->restart(mic("a")), idle();
  advance(8.1);
  EXPECT_EQ(eventsOf(Event::Kind::onAirSourceFailed),
            std::vector<Event>{Event::onAirSourceFailed("a", "Mic a", "It stopped sending audio.")});
}

// While sound flows the watchdog runs only where something can fall due (about
// once per 0.12 s, not every 20 ms); silence and the stall report still come at
// the first 20 ms tick past their time.
TEST_F(ProgramAudioTest, FlowingSoundCostsFewTicksAndSilenceStillStartsOnTheTickGrid) {
  std::vector<double> silenceAt;
  std::vector<std::pair<Event, double>> timed;
  audio->onOutput = [this, &silenceAt](const platform::PCMBufferRef& b, const platform::AudioTime& t) {
    if (b->floatChannelData()[0][0] == 0) silenceAt.push_back(now());
    out(b, t);
  };
  audio->onEvent = [this, &timed](const Event& e) { timed.emplace_back(e, now()); };
  const double firstTick = now() + ProgramAudio::kTickInterval;
  auto a = startWithA();
  auto onGrid = [&](double t) {
    const double k = (t - firstTick) / ProgramAudio::kTickInterval;
    return std::abs(k - std::round(k)) < 1e-6;
  };
  stream(*a, 0.2);
  int64_t ticks = 0;
  audio->queue()->sync([&] { ticks = audio->ticks(); });
  stream(*a, 2.0);
  audio->queue()->sync([&] { ticks = audio->ticks() - ticks; });
  EXPECT_LE(ticks, 25) << "2 s of sound";
  ASSERT_TRUE(silenceAt.empty());

  const double last = now() - 0.01;  // the last buffer's arrival
  advance(2.5);
  ASSERT_FALSE(silenceAt.empty());
  EXPECT_TRUE(onGrid(silenceAt.front()));
  EXPECT_GT(silenceAt.front(), last + ProgramAudio::kSilenceAfter);
  EXPECT_LE(silenceAt.front(), last + ProgramAudio::kSilenceAfter + ProgramAudio::kTickInterval);
  EXPECT_NEAR(endOfStream(), now() - ProgramAudio::kOutputLatency, 0.001);
  ASSERT_EQ(timed.back().first, Event::onAirSourceStalled("a", "Mic a"));
  EXPECT_TRUE(onGrid(timed.back().second));
  EXPECT_GT(timed.back().second, last + ProgramAudio::kStallAfter);
  EXPECT_LE(timed.back().second, last + ProgramAudio::kStallAfter + ProgramAudio::kTickInterval);
}

TEST_F(ProgramAudioTest, ABufferStampedFarInTheFutureDoesNotFloodTheStreamWithSilence) {
  testing::LogCapture logs;
  auto a = startWithA();
  stream(*a, 0.2);
  const int64_t before = out.frames();
  for (int i = 0; i < 10; ++i) {
    a->deliver(constantBuffer(480, 0.5f), now() + 30.0), idle();
    advance(0.01);
  }
  // Ten buffers in, about ten buffers out, and the stream stays at the host clock.
  EXPECT_NEAR(static_cast<double>(out.frames() - before), 4800, 480);
  EXPECT_LT(endOfStream(), now() + 0.05);
  // Sound resumes at its true stamps without a jump either.
  stream(*a, 0.1);
  EXPECT_NEAR(endOfStream(), now() - 0.01, 0.005);
  // One warning for the run of future stamps.
  EXPECT_EQ(logs.sessionLines(),
            (std::vector<std::string>{
                "[INFO] [ProgramAudio] Microphone on air: Mic a",
                "[WARN] [ProgramAudio] Sound buffer stamped 30.000 s ahead of the host clock; placing it at its arrival",
            }));
}

// A microphone stamped on its sample count, delivering 10 ms fragments or 2 s
// blocks (each arriving up to 60 ms after its last sample, its latency reading
// off by up to 2.2 s), is carried whole: every sample it sent is in the stream,
// back to back, neither is taken for stalled, and the 10 ms one stays where its
// stamps put it.
TEST(ProgramAudioBlocksTest, AMicrophoneIsCarriedWholeWhetherItDeliversFragmentsOrLargeBlocks) {
  for (const auto& [frames, jitter] : {std::pair<uint32_t, double>{480, 0.005}, {96000, 2.2}}) {
    SCOPED_TRACE(frames);
    auto runtime = platform::VirtualRuntime::make();
    auto audio = ProgramAudio::make(runtime);
    OutputLog out;
    audio->onOutput = [&](const platform::PCMBufferRef& b, const platform::AudioTime& t) { out(b, t); };
    std::vector<Event> events;
    audio->onEvent = [&](const Event& e) { events.push_back(e); };
    const auto now = [&] { return platform::toSeconds(runtime->now()); };
    audio->start();
    auto mic = std::make_shared<FakeAudioSource>("a", "Mic a");
    audio->switchTo(mic);
    runtime->advance(platform::seconds(1.0));  // silence meanwhile

    platform::CaptureStamps stamps(kRate);
    std::mt19937 random{11};
    std::uniform_real_distribution<double> unit(0, 1);
    const double period = frames / kRate;
    const double t0 = now();
    const int blocks = static_cast<int>(20.0 / period);
    for (int k = 0; k < blocks; ++k) {
      const double end = t0 + (k + 1) * period;
      const double arrival = std::max(end + 0.06 * unit(random), now());  // in order, as reads are
      runtime->advance(platform::seconds(arrival - now()));
      mic->deliver(constantBuffer(frames, 0.5f), stamps.stamp(frames, end - period - jitter * unit(random), arrival));
      runtime->runUntilIdle();
    }
    runtime->advance(platform::seconds(0.02));

    const auto left = out.channel(0);
    const auto first = std::find(left.begin(), left.end(), 0.5f);
    const auto last = std::find(left.rbegin(), left.rend(), 0.5f).base();
    ASSERT_NE(first, left.end());
    EXPECT_EQ(std::count(left.begin(), left.end(), 0.5f), static_cast<int64_t>(blocks) * frames) << "sound was cut";
    // What silence there is between the first and the last sample is the arrival
    // jitter, paid once by the stream's delay behind the blocks.
    EXPECT_LE(std::count(first, last, 0.0f), 0.06 * kRate);
    // Silent between its blocks while what it sent still plays, it has not stalled.
    EXPECT_EQ(events, std::vector<Event>{Event::onAir("a", "Mic a")});
    if (frames == 480) {
      const auto& tail = out.buffers.back();
      EXPECT_NEAR(platform::toSeconds(tail.time.hostTime) + tail.buffer->frameLength() / kRate, now() - 0.02, 0.07);
    }
    audio->stop();
    runtime->runUntilIdle();
  }
}

}  // namespace
}  // namespace quarzadel
