#include <gtest/gtest.h>

#include <cstdlib>

#include "Medley/Screen/ScreenTestSupport.h"
#include "peers/XvfbServer.h"
#include "Medley/Sources/Mixer/MediaMixer.h"
#include "Medley/Sources/Screen/MTMDView.h"
#include "Medley/Sources/Screen/PiPMDView.h"
#include "Medley/Sources/Screen/PreviewGeometry.h"
#include "Platform/Concurrency/BlockingWait.h"
#include "Platform/Dispatch/VirtualRuntime.h"

// Last: Xlib defines Status, None and Bool as macros.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace medley {
namespace {

namespace gravity = layerVideoGravity;

TEST(PreviewGeometry, FitFillAndStretch) {
  const auto fit = placePreview(gravity::resizeAspect, 1000, 1000, 1280, 720);
  EXPECT_DOUBLE_EQ(fit.sx, 0.78125);
  EXPECT_EQ(fit.rect(1280, 720), (ScreenRect{0, 218.75, 1000, 562.5}));
  const auto fill = placePreview(gravity::resizeAspectFill, 1000, 1000, 1280, 720);
  const ScreenRect r = fill.rect(1280, 720);
  EXPECT_NEAR(r.width, 1777.777, 1e-3);
  EXPECT_NEAR(r.x, -388.888, 1e-3);
  EXPECT_DOUBLE_EQ(r.y, 0);
  EXPECT_EQ(placePreview(gravity::resize, 1000, 1000, 1280, 720).rect(1280, 720), (ScreenRect{0, 0, 1000, 1000}));
  EXPECT_EQ(placePreview("other", 1000, 1000, 1280, 720).sx, 0);
}

using testing::grey;
using testing::halves;

TEST(MTMDView, KeepsTheNewestFrameAndDrawsItBetweenBars) {
  auto runtime = platform::VirtualRuntime::make();
  auto view = MTMDView::make(PreviewSurface::makeOffscreen(1000, 1000), runtime);
  view->draw();
  ASSERT_TRUE(view->surface()->lastPresented());
  EXPECT_LT(grey(*view->surface()->lastPresented(), 500, 500), 5) << "no frame: a cleared drawable";

  auto mixerObject = std::make_shared<MediaMixer>(MediaMixer::CaptureSessionMode::manual, false, runtime);
  auto& mixer = *mixerObject;
  view->mixer(mixer, halves(64, 36));
  view->mixer(mixer, halves(1280, 720));
  runtime->runUntilIdle();
  ASSERT_EQ(view->displayImage()->width(), 1280);
  const auto& shown = *view->surface()->lastPresented();
  EXPECT_LT(grey(shown, 100, 200), 5);    // bar above
  EXPECT_GT(grey(shown, 100, 230), 200);  // picture, left half bright
  EXPECT_LT(grey(shown, 900, 230), 80);
  EXPECT_LT(grey(shown, 100, 790), 5);    // bar below

  view->setMirrored(true);
  view->draw();
  EXPECT_LT(grey(*view->surface()->lastPresented(), 100, 500), 80);
  EXPECT_GT(grey(*view->surface()->lastPresented(), 900, 500), 200);

  view->setMirrored(false);
  view->setVideoGravity(gravity::resizeAspectFill);
  view->draw();
  EXPECT_GT(grey(*view->surface()->lastPresented(), 100, 2), 200) << "fill leaves no bars";
  view->setVideoGravity(gravity::resize);
  view->draw();
  EXPECT_GT(grey(*view->surface()->lastPresented(), 400, 999), 200);
  EXPECT_LT(grey(*view->surface()->lastPresented(), 600, 0), 80);
}

TEST(MTMDView, TrackSelection) {
  auto runtime = platform::VirtualRuntime::make();
  auto view = std::make_shared<MTMDView>(PreviewSurface::makeOffscreen(8, 8), runtime);
  std::optional<uint8_t> video, audio;
  auto check = [&]() -> platform::Async<void> {
    co_await view->selectTrack(3, platform::MediaType::audio);
    video = co_await view->videoTrackId();
    audio = co_await view->audioTrackId();
    co_await view->selectTrack(std::nullopt, platform::MediaType::video);
  };
  platform::blockingWait(runtime, check());
  EXPECT_EQ(video, kMixedTrack);
  EXPECT_EQ(audio, std::nullopt);
}

TEST(MTMDView, EffectsRunInRegistrationOrderOnThePictureBeforeItIsFitted) {
  using testing::RecordingEffect;
  auto runtime = platform::VirtualRuntime::make();
  auto view = MTMDView::make(PreviewSurface::makeOffscreen(1000, 1000), runtime);
  std::vector<std::string> log;
  auto halve = std::make_shared<RecordingEffect>("halve", log, [](const ScreenImage& i) { return i.scaled(0.5, 0.5); });
  // Keeps the bright left half only.
  auto left = std::make_shared<RecordingEffect>("left", log, [](const ScreenImage& i) {
    const auto e = i.extent();
    return i.cropped({e.x, e.y, e.width / 2, e.height});
  });
  ASSERT_TRUE(view->registerVideoEffect(halve));
  ASSERT_TRUE(view->registerVideoEffect(left));
  EXPECT_FALSE(view->registerVideoEffect(halve));
  ASSERT_TRUE(view->show(halves(1280, 720)->imageBuffer()));
  EXPECT_EQ(log, (std::vector<std::string>{"halve", "left"}));
  EXPECT_EQ(halve->seen, (ScreenRect{0, 0, 1280, 720})) << "effects come before the fit into the drawable";
  EXPECT_EQ(left->seen, (ScreenRect{0, 0, 640, 360}));
  // The bright half, 320 x 360, fitted into 1000 x 1000: a bright square, bars left and right.
  const auto& shown = *view->surface()->lastPresented();
  EXPECT_GT(grey(shown, 500, 500), 200);
  EXPECT_GT(grey(shown, 100, 500), 200);
  EXPECT_LT(grey(shown, 40, 500), 5);

  ASSERT_TRUE(view->unregisterVideoEffect(halve));
  EXPECT_FALSE(view->unregisterVideoEffect(halve));
  ASSERT_TRUE(view->registerVideoEffect(halve));
  log.clear();
  view->draw();
  EXPECT_EQ(log, (std::vector<std::string>{"left", "halve"}));
  EXPECT_EQ(halve->seen, (ScreenRect{0, 0, 640, 720}));
  // The view's set-up job still waits on the main queue, which holds the virtual runtime.
  runtime->runUntilIdle();
}

TEST(MTMDView, DrawsIntoAWindowOnTheDisplay) {
  qztest::XvfbServer x("800x600x24");
  ASSERT_TRUE(x.ok()) << "Xvfb did not start";
  setenv("DISPLAY", x.display().c_str(), 1);
  auto surface = PreviewSurface::make(640, 480, "preview");
  unsetenv("DISPLAY");
  ASSERT_TRUE(surface->isWindow());
  auto runtime = platform::VirtualRuntime::make();
  auto view = MTMDView::make(surface, runtime);
  auto mixer = std::make_shared<MediaMixer>(MediaMixer::CaptureSessionMode::manual, false, runtime);
  view->mixer(*mixer, halves(1280, 720));
  runtime->runUntilIdle();

  // Read the screen back through the display, as a screenshot would.
  Display* d = XOpenDisplay(x.display().c_str());
  ASSERT_TRUE(d);
  auto sample = [&](int px, int py) {
    XImage* img = XGetImage(d, RootWindow(d, 0), px, py, 1, 1, AllPlanes, ZPixmap);
    const int g = (XGetPixel(img, 0, 0) >> 8) & 0xFF;
    XDestroyImage(img);
    return g;
  };
  // 640 x 360 centred: bars of 60 rows above and below.
  EXPECT_LT(sample(100, 30), 5);
  EXPECT_GT(sample(100, 240), 200);
  EXPECT_LT(sample(500, 240), 80);
  EXPECT_LT(sample(100, 450), 5);
  view->setMirrored(true);
  view->draw();
  EXPECT_LT(sample(100, 240), 80);
  EXPECT_GT(sample(500, 240), 200);
  XCloseDisplay(d);
}

}  // namespace
}  // namespace medley

namespace medley {
namespace {

TEST(PiPMDView, DropsFramesUntilSetUpThenShowsEachInItsGravity) {
  auto runtime = platform::VirtualRuntime::make();
  auto mixer = std::make_shared<MediaMixer>(MediaMixer::CaptureSessionMode::manual, false, runtime);
  auto view = std::make_shared<PiPMDView>(PreviewSurface::makeOffscreen(1000, 1000), runtime);
  view->mixer(*mixer, halves(1280, 720));
  runtime->runUntilIdle();
  EXPECT_FALSE(view->layer());

  PiPMDView::defaultBackgroundColor = {0, 0, 1, 1};
  view->awakeFromNib();
  runtime->runUntilIdle();
  PiPMDView::defaultBackgroundColor = ScreenColor::black();
  ASSERT_TRUE(view->layer());
  EXPECT_FALSE(view->layer()->displayedFrame()) << "the early frame was dropped";
  auto frame = halves(1280, 720);
  view->mixer(*mixer, frame);
  runtime->runUntilIdle();
  EXPECT_EQ(view->layer()->displayedFrame(), frame) << "enqueued unchanged";
  const auto& shown = *view->layer()->surface()->lastPresented();
  EXPECT_GT(shown.plane(0).data[200 * shown.plane(0).bytesPerRow], 200) << "a blue bar above";
  EXPECT_GT(grey(shown, 100, 230), 200);

  view->setVideoGravity(gravity::resizeAspectFill);
  EXPECT_EQ(view->layer()->videoGravity(), gravity::resizeAspectFill);
  EXPECT_GT(grey(*view->layer()->surface()->lastPresented(), 100, 2), 200) << "the layer follows at once";

  std::optional<uint8_t> video;
  auto check = [&]() -> platform::Async<void> {
    co_await view->selectTrack(3, platform::MediaType::video);
    video = co_await view->videoTrackId();
  };
  platform::blockingWait(runtime, check());
  EXPECT_EQ(video, 3);
}

}  // namespace
}  // namespace medley
