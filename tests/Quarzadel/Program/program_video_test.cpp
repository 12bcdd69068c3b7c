#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "Platform/Dispatch/VirtualRuntime.h"
#include "Quarzadel/Program/ProgramVideo.h"
#include "program_test_support.h"

namespace quarzadel {
namespace {

using Event = ProgramVideo::Event;
using testing::ScriptedSource;

constexpr double kInterval = 1.0 / 30;

struct Output {
  double pts;
  double at;
  uint8_t luma;
};

class ProgramVideoTest : public ::testing::Test {
 protected:
  void make(CameraTransition style = CameraTransition::cut) {
    StreamConfig config;
    config.resolution = StreamConfig::Resolution::hd720;
    video = ProgramVideo::make(config, Framing::automatic, style, rt);
    // Keep only what the tests look at: holding the buffers would drain the pool.
    video->onOutput = [this](const platform::SampleBufferRef& s) {
      const auto& image = *s->imageBuffer();
      outputs.push_back(
          {s->presentationTime().seconds(), now(), testing::lumaAt(image, image.width() / 2, image.height() / 2)});
    };
    video->onEvent = [this](const Event& e) { events.push_back(e); };
  }
  void startVideo() { video->start(), settle(); }
  void begin(CameraTransition style = CameraTransition::cut) { make(style), startVideo(); }
  double now() const { return rt->nowSeconds(); }
  void settle() { rt->runUntilIdle(); }
  void advance(double s) { rt->advance(platform::seconds(s)); }
  void advanceTo(double t) { if (t > now()) rt->advanceTo(platform::seconds(t)); }
  std::shared_ptr<ScriptedSource> source(const std::string& id, const std::string& name = "") {
    return std::make_shared<ScriptedSource>(id, name.empty() ? "Camera " + id : name);
  }
  void switchTo(const std::shared_ptr<ScriptedSource>& s) { video->switchTo(s), settle(); }
  // Frames every 1/fps in [from, until), each arriving `delay` after its stamp.
  void feed(ScriptedSource& s, double fps, double from, double until, uint8_t luma, double delay = 0) {
    for (int k = 0; from + k / fps < until; ++k) {
      const double pts = from + k / fps;
      advanceTo(pts + delay);
      s.frame(pts, luma), settle();
    }
  }
  // Two sources feeding together at 30 fps, `b` half a frame after `a`.
  void feedBoth(ScriptedSource& a, uint8_t lumaA, ScriptedSource& b, uint8_t lumaB, double from, double until) {
    for (int k = 0; from + k * kInterval < until; ++k) {
      const double pts = from + k * kInterval;
      advanceTo(pts);
      a.frame(pts, lumaA), settle();
      advanceTo(pts + kInterval / 2);
      b.frame(pts + kInterval / 2, lumaB), settle();
    }
  }
  std::vector<Output> outputsSince(double t) const {
    std::vector<Output> r;
    std::copy_if(outputs.begin(), outputs.end(), std::back_inserter(r), [t](const Output& o) { return o.at >= t; });
    return r;
  }
  std::vector<Event> eventsOf(Event::Kind kind) const {
    std::vector<Event> r;
    std::copy_if(events.begin(), events.end(), std::back_inserter(r), [kind](const Event& e) { return e.kind == kind; });
    return r;
  }
  // Puts `s` on air with one frame at now.
  void putOnAir(const std::shared_ptr<ScriptedSource>& s, uint8_t luma = 100) {
    switchTo(s);
    s->frame(now(), luma), settle();
  }
  // The output carries one of the frames `s` sent.
  static bool isFrom(const ScriptedSource& s, const Output& o) {
    return std::any_of(s.sent.begin(), s.sent.end(), [&](double t) { return std::abs(t - o.pts) < 1e-9; });
  }

  std::shared_ptr<platform::VirtualRuntime> rt = platform::VirtualRuntime::make();
  std::shared_ptr<ProgramVideo> video;
  std::vector<Output> outputs;
  std::vector<Event> events;
  double firstB = 0;
};

struct Rate {
  double in;
  int out;
};

class ProgramVideoPacingTest : public ProgramVideoTest, public ::testing::WithParamInterface<Rate> {};

// Live frames keep their own stamp (here 150 ms behind the clock), are thinned to
// three quarters of an interval apart and never repeated while they flow.
TEST_P(ProgramVideoPacingTest, FramesCloserThanThreeQuartersOfAnIntervalAreThinned) {
  begin();
  auto camera = source("a");
  switchTo(camera);
  const double t0 = now() + 0.5;
  feed(*camera, GetParam().in, now() - 0.15, t0 + 1.0, 100, 0.15);
  std::vector<Output> live;
  std::copy_if(outputs.begin(), outputs.end(), std::back_inserter(live), [&](const Output& o) { return o.pts >= t0; });
  for (size_t i = 1; i < live.size(); ++i) EXPECT_GE(live[i].pts - live[i - 1].pts, 0.75 * kInterval - 1e-9);
  EXPECT_NEAR(static_cast<double>(live.size()), GetParam().out, 1);
  EXPECT_EQ(video->emittedFrames(), static_cast<int64_t>(outputs.size()));
  EXPECT_EQ(video->repeatedFrames(), 0);
  EXPECT_NEAR(outputs.back().at - outputs.back().pts, 0.15, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(Rates, ProgramVideoPacingTest,
                         ::testing::Values(Rate{60, 30}, Rate{35, 35}));

TEST_F(ProgramVideoTest, SourcesGoOnAirAtTheirFirstFrameAndFailuresAreRoutedByTheirSlot) {
  begin();
  auto a = source("a", "Front Camera"), b = source("b", "USB Camera"), c = source("c");
  switchTo(a);
  EXPECT_TRUE(events.empty());
  a->frame(now(), 100), settle();
  EXPECT_EQ(events, std::vector<Event>{Event::onAir("a", "Front Camera")});
  EXPECT_EQ(outputs.back().luma, 100);
  switchTo(b);
  b->fail("USB Camera was disconnected."), settle();
  EXPECT_EQ(events.back(), Event::switchFailed("b", "USB Camera", "USB Camera was disconnected."));
  EXPECT_EQ(b->stops, 1);
  a->fail("Front Camera was disconnected."), settle();
  EXPECT_EQ(events.back(), Event::onAirSourceFailed("a", "Front Camera", "Front Camera was disconnected."));
  switchTo(c);
  advance(0.05);
  c->frame(now(), 200), settle();
  EXPECT_EQ(events.back(), Event::onAir("c", "Camera c"));
  EXPECT_EQ(outputs.back().luma, 200);

  // Reports from a replaced source change nothing.
  auto d = source("d");
  switchTo(d);
  switchTo(source("e"));
  const size_t count = events.size();
  d->fail("late");
  d->frame(now(), 7), settle();
  EXPECT_EQ(events.size(), count);
  EXPECT_NE(outputs.back().luma, 7);
}

// A cut: the next source replaces a healthy one after half a second of its frames.
// Switching to what is on air or pending does nothing; back to the on-air device
// while another is pending stops that one and opens the device anew beside the
// running object.
TEST_F(ProgramVideoTest, NextSourceReplacesAHealthyOneAfterHalfASecondOfItsFrames) {
  begin();
  auto a = source("a"), b = source("b");
  putOnAir(a, 100);
  auto a2 = source("a");
  switchTo(a2);
  EXPECT_EQ(a2->starts, 0);
  switchTo(b);
  auto b2 = source("b");
  switchTo(b2);
  EXPECT_EQ(b2->starts + b->stops, 0);
  firstB = now() + kInterval / 2;
  feedBoth(*a, 100, *b, 200, now() + 0.001, firstB + 0.45);
  EXPECT_EQ(eventsOf(Event::Kind::onAir).size(), 1u);
  EXPECT_EQ(outputs.back().luma, 100);
  feedBoth(*a, 100, *b, 200, now() + 0.001, firstB + 0.6);
  ASSERT_EQ(eventsOf(Event::Kind::onAir).size(), 2u);
  EXPECT_EQ(events.back().id, "b");
  EXPECT_EQ(a->stops, 1);
  // Frames of the old source no longer reach the program.
  for (const auto& o : outputsSince(firstB + 0.55)) EXPECT_EQ(o.luma, 200);
}

// Repeats run a hold threshold behind the clock and live frames carry their own
// time: where the program goes from one to the other, the held picture fills
// the slots between, so its times never jump (here the slate at start-up, then
// a camera that falls silent for a second).
TEST_F(ProgramVideoTest, BackOnLiveFramesTheHeldPictureFillsTheSlotsUpToTheLiveOne) {
  make();
  const double started = now();
  startVideo();
  advance(0.041);
  ASSERT_EQ(outputs.size(), 1u);
  // Without a source the slate comes out at the frame rate; the first tick, 40 ms
  // after start, stamps now − max(0.25, latency + interval).
  EXPECT_NEAR(outputs[0].pts, started + 0.04 - 0.25, 1e-6);
  advance(0.359);
  const size_t slates = outputs.size();
  ASSERT_GT(slates, 5u);
  for (size_t i = 1; i < slates; ++i) EXPECT_NEAR(outputs[i].pts - outputs[i - 1].pts, kInterval, 1e-6);
  EXPECT_EQ(video->repeatedFrames(), video->emittedFrames());
  const double lastSlate = outputs.back().pts;
  auto a = source("a");
  switchTo(a);
  a->frame(now(), 100), settle();
  const uint8_t slate = ProgramRenderer::slateColor().y;
  ASSERT_GT(outputs.size(), slates + 5) << "about 0.25 s of slots filled";
  for (size_t i = slates; i + 1 < outputs.size(); ++i) {
    EXPECT_EQ(outputs[i].luma, slate);
    EXPECT_NEAR(outputs[i].pts - (i == slates ? lastSlate : outputs[i - 1].pts), kInterval, 1e-6);
  }
  EXPECT_EQ(outputs.back().luma, 100);
  EXPECT_DOUBLE_EQ(outputs.back().pts, now());

  feed(*a, 30, now() + kInterval, now() + 1.0, 110);
  advance(1.0);  // held: repeats of 110, 0.1 s behind the clock
  feed(*a, 30, now(), now() + 0.5, 120);
  EXPECT_EQ(video->emittedFrames(), static_cast<int64_t>(outputs.size()));
  for (size_t i = 1; i < outputs.size(); ++i) {
    EXPECT_GT(outputs[i].pts - outputs[i - 1].pts, 0.75 * kInterval - 1e-9) << "picture " << i;
    EXPECT_LT(outputs[i].pts - outputs[i - 1].pts, 1.75 * kInterval) << "picture " << i;
  }
}

// The dissolve starts at the new source's first emitted frame and lasts 0.35 s; every
// picture blends the outgoing source's newest frame, not one kept from before, and
// only the new source's frames are emitted.
TEST_F(ProgramVideoTest, TheDissolveFollowsTheOutgoingSourcesNewestFrame) {
  begin(CameraTransition::dissolve);
  auto a = source("a"), b = source("b");
  putOnAir(a, 30);
  switchTo(b);
  std::vector<std::pair<double, uint8_t>> aFrames;  // arrival, luma
  const double from = now() + 0.001;
  for (int k = 0; k < 26; ++k) {  // until just before the dissolve ends
    const double pts = from + k * kInterval;
    const auto luma = static_cast<uint8_t>(30 + 5 * k);
    advanceTo(pts);
    a->frame(pts, luma), settle();
    aFrames.emplace_back(pts, luma);
    advanceTo(pts + kInterval / 2);
    b->frame(pts + kInterval / 2, 200), settle();
  }
  ASSERT_EQ(eventsOf(Event::Kind::onAir).size(), 2u);
  auto dissolving = outputsSince(from + 0.5);
  while (!dissolving.empty() && !isFrom(*b, dissolving.front())) dissolving.erase(dissolving.begin());
  ASSERT_GE(dissolving.size(), 10u);
  const double start = dissolving.front().at;
  for (const auto& o : dissolving) {
    EXPECT_TRUE(isFrom(*b, o));
    const double p = (o.at - start) / 0.35;
    ASSERT_LT(p, 1);
    double outgoing = 0;
    for (const auto& [at, luma] : aFrames)
      if (at <= o.at) outgoing = luma;
    const double s = ProgramRenderer::smoothstep(p);
    EXPECT_NEAR(o.luma, outgoing * (1 - s) + 200 * s, 2) << "at +" << o.at - start;
  }
  // The old source is stopped at the first tick at or after the end.
  EXPECT_EQ(a->stops, 0);
  advanceTo(start + 0.35 + ProgramVideo::kTickInterval);
  EXPECT_EQ(a->stops, 1);
}

// While a source delivers, the tick runs only where something can fall due (about
// once per hold threshold, not every 20 ms); what does fall due still comes at
// the first 20 ms tick past its time: the hold's repeats, the stall report and
// a pending source's time-out.
TEST_F(ProgramVideoTest, ASteadyPictureCostsFewTicksAndTimeOutsStillComeOnTheTickGrid) {
  make();
  std::vector<std::pair<Event, double>> timed;
  video->onEvent = [this, &timed](const Event& e) { timed.emplace_back(e, now()); };
  const double firstTick = now() + ProgramVideo::kFirstTick;
  startVideo();
  auto onGrid = [&](double t) {
    const double k = (t - firstTick) / ProgramVideo::kTickInterval;
    return std::abs(k - std::round(k)) < 1e-6;
  };
  auto a = source("a");
  switchTo(a);
  feed(*a, 30, now() + 0.001, now() + 0.5, 100);
  const int64_t ticks = video->ticks();
  feed(*a, 30, a->sent.back() + kInterval, a->sent.back() + 2.0, 100);
  EXPECT_LE(video->ticks() - ticks, 25) << "2 s of frames";
  EXPECT_EQ(video->repeatedFrames(), 0);

  const double last = a->sent.back();
  advanceTo(last + 2.5);
  const auto repeats = outputsSince(last + 0.001);
  ASSERT_GT(repeats.size(), 50u);
  // The first slot after the last frame is a hold threshold (0.1 s) behind the clock.
  EXPECT_TRUE(onGrid(repeats.front().at));
  EXPECT_GE(repeats.front().at, last + kInterval + 0.1);
  EXPECT_LT(repeats.front().at, last + kInterval + 0.1 + ProgramVideo::kTickInterval);
  for (size_t i = 1; i < repeats.size(); ++i) EXPECT_NEAR(repeats[i].pts - repeats[i - 1].pts, kInterval, 1e-6);
  ASSERT_EQ(timed.back().first, Event::onAirSourceStalled("a", "Camera a"));
  EXPECT_TRUE(onGrid(timed.back().second));
  EXPECT_GT(timed.back().second, last + ProgramVideo::kStallAfter);
  EXPECT_LE(timed.back().second, last + ProgramVideo::kStallAfter + ProgramVideo::kTickInterval);

  auto silent = source("b");
  switchTo(silent);
  const double requested = now();
  advance(ProgramVideo::kPendingTimeout + 0.1);
  ASSERT_EQ(timed.back().first, Event::switchFailed("b", "Camera b", "Camera b didn't send any video."));
  EXPECT_TRUE(onGrid(timed.back().second));
  EXPECT_GT(timed.back().second, requested + ProgramVideo::kPendingTimeout);
  EXPECT_LE(timed.back().second, requested + ProgramVideo::kPendingTimeout + ProgramVideo::kTickInterval);
}

TEST_F(ProgramVideoTest, AFailedOnAirSourceHoldsItsLastPictureUntilReplaced) {
  begin();
  auto a = source("a");
  putOnAir(a, 100);
  feed(*a, 30, now() + 0.01, now() + 0.3, 100);
  a->fail("Camera a was disconnected."), settle();
  const double failed = now();
  const int64_t repeatsBefore = video->repeatedFrames();
  feed(*a, 30, now() + 0.01, now() + 0.5, 7);  // it keeps sending after its failure
  const auto held = outputsSince(failed + 0.001);
  ASSERT_FALSE(held.empty());
  for (const auto& o : held) EXPECT_EQ(o.luma, 100);
  EXPECT_EQ(video->repeatedFrames() - repeatsBefore, static_cast<int64_t>(held.size()));
  // A reopened instance takes over at its first frame.
  auto again = source("a");
  video->restart(again), settle();
  again->frame(now(), 120), settle();
  EXPECT_EQ(outputs.back().luma, 120);
  // A released program stops its sources and ignores their late callbacks.
  video.reset();
  EXPECT_EQ(again->stops, 1);
  again->frame(now(), 1);
  again->fail("late");
  advance(1);
}

}  // namespace
}  // namespace quarzadel
