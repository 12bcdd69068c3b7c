#include <gtest/gtest.h>

#include "Medley/Screen/ScreenTestSupport.h"
#include "Medley/Stream/stream_test_support.h"
#include "Medley/Sources/Screen/Screen.h"
#include "Medley/Sources/Screen/ScreenActor.h"
#include "Medley/Sources/Screen/StreamScreenObject.h"

namespace medley {
namespace {

using testing::frameAt;
namespace gravity = layerVideoGravity;

struct Fixture {
  std::shared_ptr<ScreenObjectContainer> root = std::make_shared<ScreenObjectContainer>();
  std::shared_ptr<VideoScreenObject> video = std::make_shared<VideoScreenObject>();
  Fixture(double w, double h) {
    root->setSize({w, h});
    root->addChild(video);
    root->setBounds({0, 0, w, h});
  }
};

TEST(VideoScreenObject, FitsTheFramesAspectInsideItsArea) {
  struct Case {
    LayerVideoGravity gravity;
    ScreenSize area;
    ScreenRect bounds;
    double sx, sy;
  };
  const Case cases[] = {
      {gravity::resizeAspect, {400, 400}, {0, 87.5, 400, 225}, 400.0 / 1920, 400.0 / 1920},
      {gravity::resizeAspectFill, {400, 400}, {0, 0, 400, 400}, 400.0 / 1080, 400.0 / 1080},
      {gravity::resize, {400, 300}, {0, 50, 400, 300}, 400.0 / 1920, 300.0 / 1080},
  };
  for (const auto& c : cases) {
    Fixture f(c.area.width, c.area.height);
    f.video->setVideoGravity(c.gravity);
    f.video->setVerticalAlignment(ScreenObject::VerticalAlignment::middle);
    if (c.gravity == gravity::resize) f.video->setSize({400, 300}), f.root->setBounds({0, 0, 400, 400});
    f.video->queue()->enqueue(frameAt(1.0));
    f.video->setBounds(f.video->makeBounds(f.video->size()));
    EXPECT_EQ(f.video->bounds(), c.bounds) << c.gravity;
    ScreenRendererByCPU r;
    r.setPresentationTimeStamp(platform::MediaTime::fromSeconds(2, 1000));
    auto image = f.video->makeImage(r);
    ASSERT_TRUE(image);
    EXPECT_DOUBLE_EQ(image->scaleX(), c.sx) << c.gravity;
    EXPECT_DOUBLE_EQ(image->scaleY(), c.sy) << c.gravity;
  }
}

TEST(VideoScreenObject, TakesTheNewestDueFrame) {
  Fixture f(1280, 720);
  for (double t : {1.00, 1.03, 1.07}) f.video->queue()->enqueue(frameAt(t));
  ScreenRendererByCPU r;
  r.setPresentationTimeStamp(platform::MediaTime::fromSeconds(0.99, 1000));
  EXPECT_FALSE(f.video->makeImage(r));
  EXPECT_EQ(f.video->queue()->count(), 3u);
  r.setPresentationTimeStamp(platform::MediaTime::fromSeconds(1.05, 1000));
  EXPECT_TRUE(f.video->makeImage(r));
  EXPECT_EQ(f.video->queue()->count(), 1u);
  EXPECT_EQ(f.video->frameTracker().frameRate, 1) << "the first period closes a second after time zero";

  // A synchronisation clock moves the tick's host time onto the capture clock.
  struct Behind : ScreenSynchronizationClock {
    platform::MediaTime hostTimeFromClockTime(const platform::MediaTime& t) const override {
      return t + platform::MediaTime(1, 1);
    }
    platform::MediaTime clockTimeFromHostTime(const platform::MediaTime& t) const override {
      return t - platform::MediaTime(1, 1);
    }
  };
  r.setSynchronizationClock(std::make_shared<Behind>());
  r.setPresentationTimeStamp(platform::MediaTime::fromSeconds(2.05, 1000));
  EXPECT_FALSE(f.video->makeImage(r));
  r.setPresentationTimeStamp(platform::MediaTime::fromSeconds(2.08, 1000));
  EXPECT_TRUE(f.video->makeImage(r));
}

TEST(VideoScreenObject, CountsFramesPerSecondOfPresentationTime) {
  Fixture f(1280, 720);
  ScreenRendererByCPU r;
  std::vector<int> rates;
  for (int i = 1; i <= 75; ++i) {
    const double t = i / 30.0;
    f.video->queue()->enqueue(frameAt(t, 64, 36));
    r.setPresentationTimeStamp(platform::MediaTime::fromSeconds(t, 1'000'000'000));
    f.video->makeImage(r);
    rates.push_back(f.video->frameRate());
  }
  EXPECT_EQ(rates[28], 0);
  EXPECT_EQ(rates[29], 30);
  EXPECT_EQ(rates.back(), 30);
}

TEST(VideoScreenObject, TrackElementsAndEffects) {
  VideoScreenObject v;
  EXPECT_EQ(v.horizontalAlignment(), ScreenObject::HorizontalAlignment::center);
  v.setElements({{"track", "3"}});
  EXPECT_EQ(v.track(), 3);
  for (const char* bad : {"300", "abc", "", "-3"}) {
    v.setElements({{"track", "3"}});
    v.setElements({{"track", bad}});
    EXPECT_EQ(v.track(), 0) << bad;
  }
  v.setElements({{"track", "+7"}});
  EXPECT_EQ(v.track(), 7);
  v.setElements({});
  EXPECT_EQ(v.track(), 0);
  v.setShouldInvalidateLayout(false);
  v.setVideoGravity(gravity::resizeAspect);
  EXPECT_FALSE(v.shouldInvalidateLayout());

  struct Halve : VideoEffect {
    int calls = 0;
    ScreenImage apply(const ScreenImage& i) override {
      ++calls;
      return i.scaled(0.5, 0.5);
    }
  };
  auto effect = std::make_shared<Halve>();
  EXPECT_TRUE(v.registerVideoEffect(effect));
  EXPECT_FALSE(v.registerVideoEffect(effect));
  auto root = std::make_shared<ScreenObjectContainer>();
  auto vp = std::make_shared<VideoScreenObject>();
  root->addChild(vp);
  vp->registerVideoEffect(effect);
  vp->registerVideoEffect(effect);
  vp->queue()->enqueue(frameAt(0, 64, 36));
  vp->setBounds({0, 0, 64, 36});
  ScreenRendererByCPU r;
  r.setPresentationTimeStamp(platform::MediaTime::fromSeconds(1, 1));
  auto image = vp->makeImage(r);
  EXPECT_EQ(effect->calls, 1);
  EXPECT_DOUBLE_EQ(image->scaleX(), 0.5);
  EXPECT_TRUE(v.unregisterVideoEffect(effect));
  EXPECT_FALSE(v.unregisterVideoEffect(effect));
}

TEST(VideoScreenObject, EffectsRunInRegistrationOrderOnTheScaledPictureEachOnThePreviousResult) {
  using testing::RecordingEffect;
  Fixture f(32, 18);
  f.video->setBounds({0, 0, 32, 18});
  std::vector<std::string> log;
  auto crop = std::make_shared<RecordingEffect>("crop", log, [](const ScreenImage& i) { return i.cropped({0, 0, 8, 100}); });
  auto halve = std::make_shared<RecordingEffect>("halve", log, [](const ScreenImage& i) { return i.scaled(0.5, 0.5); });
  ASSERT_TRUE(f.video->registerVideoEffect(crop));
  ASSERT_TRUE(f.video->registerVideoEffect(halve));
  ScreenRendererByCPU r;
  auto show = [&](double t) {
    log.clear();
    f.video->queue()->enqueue(frameAt(t, 64, 36));
    r.setPresentationTimeStamp(platform::MediaTime::fromSeconds(t, 1'000'000'000));
    return f.video->makeImage(r);
  };
  auto image = show(1);
  ASSERT_TRUE(image);
  EXPECT_EQ(log, (std::vector<std::string>{"crop", "halve"}));
  EXPECT_EQ(crop->seen, (ScreenRect{0, 0, 32, 18})) << "the first effect gets the picture scaled into the bounds";
  EXPECT_EQ(halve->seen, (ScreenRect{0, 0, 8, 18})) << "the next one gets what the first made";
  EXPECT_EQ(image->extent(), (ScreenRect{0, 0, 4, 9}));

  // Registered again after leaving, an effect runs last.
  ASSERT_TRUE(f.video->unregisterVideoEffect(crop));
  ASSERT_TRUE(f.video->registerVideoEffect(crop));
  image = show(2);
  ASSERT_TRUE(image);
  EXPECT_EQ(log, (std::vector<std::string>{"halve", "crop"}));
  EXPECT_EQ(image->extent(), (ScreenRect{0, 0, 8, 9}));
  // A second registration of one in the list changes neither list nor order.
  EXPECT_FALSE(f.video->registerVideoEffect(halve));
  show(3);
  EXPECT_EQ(log, (std::vector<std::string>{"halve", "crop"}));
}

TEST(VideoScreenObject, TheScreensEffectsReachItsCameraObjectAndTheLastRegisteredHasTheLastWord) {
  auto solid = [](uint8_t luma) {
    return [luma](const ScreenImage& i) {
      const auto e = i.extent();
      return ScreenImage(testing::solidPicture(static_cast<int>(e.width), static_cast<int>(e.height), luma));
    };
  };
  std::vector<std::string> log;
  Screen screen;
  auto dark = std::make_shared<testing::RecordingEffect>("dark", log, solid(90));
  auto light = std::make_shared<testing::RecordingEffect>("light", log, solid(150));
  ASSERT_TRUE(screen.registerVideoEffect(dark));
  ASSERT_TRUE(screen.registerVideoEffect(light));
  EXPECT_FALSE(screen.videoTrackScreenObject()->registerVideoEffect(light));
  screen.videoTrackScreenObject()->queue()->enqueue(frameAt(1, 1280, 720));
  screen.videoTrackScreenObject()->invalidateLayout();
  auto frame = screen.makeSampleBuffer({1.0, 1.016});
  ASSERT_TRUE(frame);
  EXPECT_EQ(log, (std::vector<std::string>{"dark", "light"}));
  EXPECT_EQ(testing::lumaAt(*frame->imageBuffer(), 640, 360), 150);

  ASSERT_TRUE(screen.unregisterVideoEffect(dark));
  ASSERT_TRUE(screen.registerVideoEffect(dark));
  screen.videoTrackScreenObject()->queue()->enqueue(frameAt(2, 1280, 720));
  screen.videoTrackScreenObject()->invalidateLayout();
  frame = screen.makeSampleBuffer({2.0, 2.016});
  ASSERT_TRUE(frame);
  EXPECT_EQ(testing::lumaAt(*frame->imageBuffer(), 640, 360), 90);
}

TEST(VideoScreenObject, AFullQueueRefusesFrames) {
  VideoScreenObject v;
  for (int i = 0; i < 3; ++i) v.queue()->enqueue(frameAt(i));
  EXPECT_THROW(v.queue()->enqueue(frameAt(4)), TypedBlockQueueError);
}

TEST(StreamScreenObject, KeepsTheLatestBufferAndInvalidatesOnANewOne) {
  auto s = std::make_shared<StreamScreenObject>();
  auto a = frameAt(1, 640, 360);
  s->setSampleBuffer(a);
  s->setShouldInvalidateLayout(false);
  s->setSampleBuffer(a);
  EXPECT_FALSE(s->shouldInvalidateLayout());
  s->setSampleBuffer(frameAt(2, 640, 360));
  EXPECT_TRUE(s->shouldInvalidateLayout());

  // Handed over from a stream's thread, stored on the screen actor.
  s->setShouldInvalidateLayout(false);
  auto b = frameAt(3, 320, 180);
  medleytest::FakeStream stream(platform::Runtime::shared());
  s->stream(stream, b);
  ScreenActor::shared()->queue()->sync([] {});
  EXPECT_EQ(s->sampleBuffer(), b);
  EXPECT_TRUE(s->shouldInvalidateLayout());

  auto root = std::make_shared<ScreenObjectContainer>();
  root->setBounds({0, 0, 400, 400});
  root->addChild(s);
  EXPECT_EQ(s->makeBounds({0, 0}), (ScreenRect{0, 0, 400, 225}));
  s->setBounds({0, 0, 400, 225});
  ScreenRendererByCPU r;
  EXPECT_DOUBLE_EQ(s->makeImage(r)->scaleX(), 400.0 / 320);
}

}  // namespace
}  // namespace medley
