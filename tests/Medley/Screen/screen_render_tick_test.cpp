#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "Medley/Sources/Screen/Screen.h"
#include "Medley/Screen/ScreenTestSupport.h"

namespace medley {
namespace {

using testing::frameAt;
using testing::lumaAt;

double seconds(const platform::SampleBufferRef& b) { return b->presentationTime().seconds(); }

TEST(ScreenRenderTick, StampsTheTickLessTheCaptureLatencyWithTheIntervalAsDuration) {
  Screen screen;
  auto frame = screen.makeSampleBuffer({10.0, 10.0167});
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->presentationTime(), platform::MediaTime(10'000'000'000, 1'000'000'000));
  EXPECT_EQ(frame->duration(), platform::MediaTime(16'700'000, 1'000'000'000));
  EXPECT_FALSE(frame->decodeTime().isValid());
  EXPECT_EQ(frame->imageBuffer()->width(), 1280);
  EXPECT_EQ(frame->imageBuffer()->format(), platform::PixelFormat::nv12VideoRange);
  EXPECT_EQ(screen.targetTimestamp(), 10.0167);

  // A camera frame at 10.00004 s lags the display clock by 0.01666 s, rounded up to 0.0167.
  screen.setVideoCaptureLatency(platform::MediaTime::fromSeconds(10.00004, 1'000'000'000));
  EXPECT_DOUBLE_EQ(screen.videoCaptureLatency(), 0.0167);
  auto next = screen.makeSampleBuffer({10.0334, 10.0501});
  ASSERT_TRUE(next);
  EXPECT_NEAR(seconds(next), 10.0334 - 0.0167, 1e-9);
}

TEST(ScreenRenderTick, LatencyIsNotMeasuredBeforeTheFirstTickAndMayBeNegative) {
  Screen screen;
  screen.setVideoCaptureLatency(platform::MediaTime::fromSeconds(5, 1000));
  EXPECT_EQ(screen.videoCaptureLatency(), 0);
  screen.makeSampleBuffer({1.0, 1.016});
  screen.setVideoCaptureLatency(platform::MediaTime::fromSeconds(1.1, 1000));
  EXPECT_DOUBLE_EQ(screen.videoCaptureLatency(), -0.084);
}

TEST(ScreenRenderTick, PresentationTimesStrictlyIncrease) {
  Screen screen;
  ASSERT_TRUE(screen.makeSampleBuffer({1.0, 1.016}));
  // The same tick again: its picture would repeat the last time.
  EXPECT_FALSE(screen.makeSampleBuffer({1.0, 1.016}));
  EXPECT_DOUBLE_EQ(screen.targetTimestamp(), 1.016);

  // The latency grows by 20 ms between two ticks 16 ms apart: that tick goes backwards.
  ASSERT_TRUE(screen.makeSampleBuffer({1.016, 1.032}));
  screen.setVideoCaptureLatency(platform::MediaTime::fromSeconds(1.032 - 0.02005, 1'000'000'000));
  EXPECT_DOUBLE_EQ(screen.videoCaptureLatency(), 0.0201);
  EXPECT_FALSE(screen.makeSampleBuffer({1.032, 1.048}));
  EXPECT_DOUBLE_EQ(screen.targetTimestamp(), 1.048) << "the target moves on without a frame";
  auto later = screen.makeSampleBuffer({1.048, 1.064});
  ASSERT_TRUE(later);
  EXPECT_NEAR(seconds(later), 1.048 - 0.0201, 1e-9);

  // Over a run of ticks with a jittering latency, every frame that leaves is later than the last.
  double last = seconds(later);
  for (int i = 0; i < 200; ++i) {
    const double t = 1.064 + i * 0.016;
    screen.setVideoCaptureLatency(platform::MediaTime::fromSeconds(t - 0.01 - 0.03 * std::sin(i * 0.7), 1'000'000'000));
    if (auto f = screen.makeSampleBuffer({t, t + 0.016})) {
      EXPECT_GT(seconds(f), last);
      last = seconds(f);
    }
  }
}

TEST(ScreenRenderTick, SizeAndModeChangesRebuildThePoolAndFormat) {
  Screen screen;
  screen.makeSampleBuffer({1, 1.016});
  ASSERT_TRUE(screen.outputFormat());
  screen.setSize({1920, 1080});
  EXPECT_FALSE(screen.outputFormat());
  EXPECT_EQ(screen.pixelBufferPool()->width(), 1920);
  auto big = screen.makeSampleBuffer({2, 2.016});
  ASSERT_TRUE(big);
  EXPECT_EQ(screen.outputFormat()->dimensions().width, 1920);
  EXPECT_EQ(screen.root()->bounds(), (ScreenRect{0, 0, 1920, 1080}));

  screen.setBackgroundColor({1, 0, 0, 1});
  struct Clock : ScreenSynchronizationClock {
    platform::MediaTime hostTimeFromClockTime(const platform::MediaTime& t) const override { return t; }
    platform::MediaTime clockTimeFromHostTime(const platform::MediaTime& t) const override { return t; }
  };
  auto clock = std::make_shared<Clock>();
  screen.renderer().setSynchronizationClock(clock);
  screen.setDynamicRangeMode(DynamicRangeMode::hdr);
  EXPECT_EQ(screen.renderer().bounds(), (ScreenRect{0, 0, 1920, 1080}));
  EXPECT_EQ(screen.renderer().backgroundColor(), (ScreenColor{1, 0, 0, 1}));
  EXPECT_EQ(screen.renderer().synchronizationClock(), clock);
  auto hdr = screen.makeSampleBuffer({3, 3.016});
  ASSERT_TRUE(hdr);
  EXPECT_EQ(hdr->imageBuffer()->format(), platform::PixelFormat::p010);
  const auto& c = hdr->imageBuffer()->colorAttachments();
  EXPECT_EQ(c.primaries, platform::ColorPrimaries::itu_r_2020);
  EXPECT_EQ(c.transfer, platform::TransferFunction::itu_r_2100_hlg);
  EXPECT_EQ(c.matrix, platform::YCbCrMatrix::itu_r_2020);
  // Red converted to BT.2020 / HLG (10-bit luma 360), not BT.709 red (63, 252 in
  // 10 bits) relabelled; the samples' high bits hold the code.
  const auto y = reinterpret_cast<const uint16_t*>(hdr->imageBuffer()->plane(0).data)[0];
  EXPECT_NEAR(y >> 6, 360, 1);
}

TEST(ScreenRenderTick, AddingTheRootOrAChildWithAParent) {
  Screen screen;
  EXPECT_EQ(screen.childCounts(), 1u);
  screen.addChild(screen.root());
  EXPECT_EQ(screen.childCounts(), 1u);
  auto o = std::make_shared<ScreenObject>();
  screen.addChild(o);
  EXPECT_THROW(screen.addChild(o), ScreenObjectContainer::Error);
  EXPECT_EQ(screen.screenObject(o->id()), o);
}

TEST(ScreenRenderTick, CameraFramesAreShownWhenDueAndFitTheirAspect) {
  Screen screen;
  auto video = screen.videoTrackScreenObject();
  video->setCornerRadius(24);
  for (double t : {1.00, 1.03, 1.07}) video->queue()->enqueue(frameAt(t, 1920, 1080, 180));
  video->invalidateLayout();

  // Before the first frame is due nothing is taken.
  auto early = screen.makeSampleBuffer({0.5, 0.516});
  ASSERT_TRUE(early);
  EXPECT_EQ(video->queue()->count(), 3u);
  EXPECT_EQ(lumaAt(*early->imageBuffer(), 640, 360), 16) << "transparent black background";

  auto frame = screen.makeSampleBuffer({1.05, 1.066});
  ASSERT_TRUE(frame);
  EXPECT_EQ(video->queue()->count(), 1u) << "1.00 dropped, 1.03 shown, 1.07 waits";
  EXPECT_EQ(video->queue()->head()->presentationTime(), platform::MediaTime::fromSeconds(1.07, 1'000'000'000));
  EXPECT_EQ(video->bounds(), (ScreenRect{0, 0, 1280, 720}));
  const auto& picture = *frame->imageBuffer();
  EXPECT_EQ(lumaAt(picture, 640, 360), 180);
  EXPECT_EQ(lumaAt(picture, 0, 0), 16) << "the rounded corner leaves the background";
  EXPECT_EQ(lumaAt(picture, 24, 0), 180);
  EXPECT_TRUE(video->shouldInvalidateLayout()) << "a frame still waits";
}

TEST(ScreenRendererByCPU, CornerMasksAreSharedPerSizeAndRadius) {
  RoundedRectangleFactory f;
  EXPECT_EQ(RoundedRectangleFactory::key({1280, 720}, 8), "1280.0:720.0:8.0");
  EXPECT_EQ(RoundedRectangleFactory::key({0.1, 2.5}, 1e-7), "0.1:2.5:1e-07");
  auto a = f.makeMask({200, 100}, 8);
  EXPECT_EQ(f.makeMask({200, 100}, 8), a);
  EXPECT_NE(f.makeMask({200, 100}, 8.0000001), a);
  EXPECT_EQ(f.count(), 2u);
  EXPECT_FALSE(f.makeMask({0, 100}, 8));
  ASSERT_TRUE(a);
  EXPECT_EQ(a->luma[0], 0);
  EXPECT_EQ(a->luma[100 * 200 / 2 + 100], 255);
  EXPECT_EQ(a->lumaRuns[50].begin, 0);
  EXPECT_EQ(a->lumaRuns[50].end, 200);
  EXPECT_GT(a->lumaRuns[0].begin, 0);
}

class FixedPicture : public ScreenObject {
 public:
  explicit FixedPicture(uint8_t luma) : luma_(luma) {}
  std::optional<ScreenImage> makeImage(ScreenRenderer&) override {
    ++made;
    return ScreenImage(testing::solidPicture(static_cast<int>(bounds().width), static_cast<int>(bounds().height), luma_));
  }
  int made = 0;

 private:
  uint8_t luma_;
};

TEST(ScreenRendererByCPU, DrawsKeptPicturesAtTheirBoundsInOrder) {
  Screen screen;
  auto a = std::make_shared<FixedPicture>(100);
  a->setSize({200, 100});
  a->setLayoutMargin({50, 100, 0, 0});
  auto b = std::make_shared<FixedPicture>(150);
  b->setSize({200, 100});
  b->setLayoutMargin({100, 200, 0, 0});
  screen.addChild(a);
  screen.addChild(b);
  auto f1 = screen.makeSampleBuffer({1, 1.016});
  auto f2 = screen.makeSampleBuffer({2, 2.016});
  ASSERT_TRUE(f1 && f2);
  EXPECT_EQ(a->made, 1) << "pictures are made once per layout and kept";
  const auto& p = *f2->imageBuffer();
  EXPECT_EQ(lumaAt(p, 99, 50), 16);
  EXPECT_EQ(lumaAt(p, 100, 50), 100);
  EXPECT_EQ(lumaAt(p, 250, 120), 150) << "the later child covers the earlier one";
  EXPECT_EQ(lumaAt(p, 399, 199), 150);
  EXPECT_EQ(lumaAt(p, 400, 200), 16);
}

// Notes each layout it is told of, with the root's size at that moment, and
// may change the tree then.
struct LayoutWatcher final : ScreenDelegate {
  std::vector<platform::MediaTime> times;
  std::vector<ScreenSize> rootSizes;
  std::function<void(Screen&)> change;
  void screen(Screen& screen, const platform::MediaTime& willLayout) override {
    times.push_back(willLayout);
    rootSizes.push_back(screen.root()->size());
    if (change) change(screen);
  }
};

TEST(ScreenDelegate, IsToldOfEachComposedFrameBeforeItsLayoutAndItsChangesShowInThatFrame) {
  Screen screen;
  screen.setSize({640, 360});
  auto watcher = std::make_shared<LayoutWatcher>();
  screen.setDelegate(watcher);
  auto box = std::make_shared<FixedPicture>(100);
  box->setSize({100, 100});
  screen.addChild(box);

  auto f1 = screen.makeSampleBuffer({1, 1.016});
  ASSERT_TRUE(f1);
  ASSERT_EQ(watcher->times.size(), 1u);
  EXPECT_EQ(watcher->times[0], f1->presentationTime());
  EXPECT_EQ(watcher->rootSizes[0], (ScreenSize{640, 360})) << "the root has the frame's size when the delegate is told";
  EXPECT_EQ(lumaAt(*f1->imageBuffer(), 50, 50), 100);

  // A tick that composes nothing tells nothing.
  EXPECT_FALSE(screen.makeSampleBuffer({0.5, 0.516}));
  EXPECT_EQ(watcher->times.size(), 1u);

  watcher->change = [&](Screen&) {
    box->setLayoutMargin({0, 300, 0, 0});
    box->invalidateLayout();
  };
  auto f2 = screen.makeSampleBuffer({2, 2.016});
  ASSERT_TRUE(f2);
  ASSERT_EQ(watcher->times.size(), 2u);
  EXPECT_EQ(watcher->times[1], f2->presentationTime());
  EXPECT_EQ(lumaAt(*f2->imageBuffer(), 50, 50), 16) << "the move is laid out in the frame it was made for";
  EXPECT_EQ(lumaAt(*f2->imageBuffer(), 350, 50), 100);

  // Held weakly: a delegate let go is no longer told, and nothing fails.
  std::weak_ptr<LayoutWatcher> gone = watcher;
  watcher.reset();
  EXPECT_TRUE(gone.expired());
  EXPECT_TRUE(screen.makeSampleBuffer({3, 3.016}));
}

}  // namespace
}  // namespace medley
