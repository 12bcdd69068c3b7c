#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

#include "peers/XvfbServer.h"
#include "Platform/Dispatch/VirtualRuntime.h"
#include "Quarzadel/Program/PreviewSink.h"
#include "Quarzadel/Studio/PreviewPresenter.h"
#include "Quarzadel/Studio/PreviewWindow.h"

// After our headers: Xlib defines macros such as Status.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#undef Status  // Xlib's, in the way of the layer's

namespace quarzadel {
namespace {

// A program frame: left half bright, right half dark.
platform::SampleBufferRef programFrame() {
  auto p = platform::PixelBuffer::make(1280, 720, platform::PixelFormat::nv12VideoRange);
  const auto y = p->plane(0), uv = p->plane(1);
  for (int r = 0; r < 720; ++r) {
    std::memset(y.data + r * y.bytesPerRow, 235, 640);
    std::memset(y.data + r * y.bytesPerRow + 640, 60, 640);
  }
  for (int r = 0; r < uv.height; ++r) std::memset(uv.data + r * uv.bytesPerRow, 128, uv.width * 2);
  platform::SampleTiming t;
  t.presentationTime = platform::MediaTime::zero();
  return platform::SampleBuffer::makeImage(p, t);
}

int green(const platform::PixelBuffer& b, int x, int y) { return b.plane(0).data[y * b.plane(0).bytesPerRow + 4 * x + 1]; }

TEST(PreviewWindow, ShowsTheProgramPictureFittedAndMirrored) {
  auto runtime = platform::VirtualRuntime::make();
  auto sink = PreviewSink::make(runtime);
  PreviewWindow window(sink->layer(), medley::PreviewSurface::makeOffscreen(640, 640));
  window.draw();
  EXPECT_LT(green(*window.surface()->lastPresented(), 320, 320), 5) << "black before the first frame";
  sink->enqueue(programFrame());
  sink->setMirrored(true);
  runtime->runUntilIdle();
  window.draw();
  const auto* shown = window.surface()->lastPresented().get();
  EXPECT_LT(green(*shown, 100, 100), 5);  // bar above the 640 x 360 picture
  EXPECT_LT(green(*shown, 100, 320), 80);
  EXPECT_GT(green(*shown, 540, 320), 200);

  // In a window on the display, unmirrored.
  qztest::XvfbServer x("800x600x24");
  ASSERT_TRUE(x.ok()) << "Xvfb did not start";
  sink->setMirrored(false);
  runtime->runUntilIdle();
  setenv("DISPLAY", x.display().c_str(), 1);
  auto onScreen = PreviewWindow::make(sink->layer(), 640, 480);
  unsetenv("DISPLAY");
  ASSERT_TRUE(onScreen->surface()->isWindow());
  onScreen->draw();
  Display* d = XOpenDisplay(x.display().c_str());
  ASSERT_TRUE(d);
  auto sample = [&](int px, int py) {
    XImage* img = XGetImage(d, RootWindow(d, 0), px, py, 1, 1, AllPlanes, ZPixmap);
    const int g = (XGetPixel(img, 0, 0) >> 8) & 0xFF;
    XDestroyImage(img);
    return g;
  };
  EXPECT_LT(sample(100, 30), 5);
  EXPECT_GT(sample(100, 240), 200);
  EXPECT_LT(sample(500, 240), 80);
  XCloseDisplay(d);
}

// A surface the test drives: it can refuse pictures, ask to be drawn again and be closed.
class ScriptedSurface final : public medley::PreviewSurface {
 public:
  int width() const override { return 320; }
  int height() const override { return 180; }
  bool present(const platform::PixelBufferRef& picture) override {
    ++presented;
    last = picture;
    return !refusing;
  }
  platform::PixelBufferRef lastPresented() const override { return last; }
  bool isWindow() const override { return true; }
  bool handleEvents() override { return std::exchange(exposed, false); }
  bool isClosed() const override { return closed; }

  bool refusing = false, exposed = false, closed = false;
  int presented = 0;
  platform::PixelBufferRef last;
};

TEST(PreviewPresenter, DrawsWhatChangedAndAFailedDrawingFlushesTheLayer) {
  auto runtime = platform::VirtualRuntime::make();
  auto sink = PreviewSink::make(runtime);
  auto surface = std::make_shared<ScriptedSurface>();
  int closedTold = 0;
  auto presenter =
      PreviewPresenter::start(std::make_unique<PreviewWindow>(sink->layer(), surface), runtime, [&] { ++closedTold; });
  const auto ticks = [&](int n) { runtime->advance(PreviewPresenter::kTick * n); };
  ticks(3);
  EXPECT_EQ(surface->presented, 1) << "black once, then nothing new";
  sink->enqueue(programFrame());
  ticks(3);
  sink->setMirrored(true);
  ticks(1);
  surface->exposed = true;
  ticks(1);
  EXPECT_EQ(surface->presented, 4) << "a new frame, mirroring, an exposure: one drawing each";

  surface->refusing = true;
  sink->enqueue(programFrame());
  ticks(1);
  EXPECT_EQ(sink->layer()->status(), PreviewLayer::Status::failed);
  surface->refusing = false;
  auto next = programFrame();
  sink->enqueue(next);
  EXPECT_EQ(sink->layer()->flushCount(), 1);
  EXPECT_EQ(sink->layer()->displayedFrame(), next) << "the frame after the flush is shown";
  ticks(1);
  EXPECT_EQ(surface->presented, 6);

  surface->closed = true;
  ticks(2);
  sink->enqueue(programFrame());
  ticks(2);
  EXPECT_EQ(surface->presented, 6);
  EXPECT_EQ(closedTold, 1);
}

TEST(PreviewPresenter, ClosingTheWindowOrLosingTheDisplayEndsThePreviewNotTheProcess) {
  auto runtime = platform::VirtualRuntime::make();
  auto sink = PreviewSink::make(runtime);
  sink->enqueue(programFrame());
  for (const bool killServer : {false, true}) {
    SCOPED_TRACE(killServer ? "display lost" : "closed by the host");
    std::optional<qztest::XvfbServer> x("800x600x24");
    ASSERT_TRUE(x->ok()) << "Xvfb did not start";
    setenv("DISPLAY", x->display().c_str(), 1);
    int closedTold = 0;
    auto presenter = PreviewPresenter::open(sink, runtime, [&] { ++closedTold; });
    unsetenv("DISPLAY");
    ASSERT_TRUE(presenter);
    runtime->advance(PreviewPresenter::kTick * 2);
    ASSERT_EQ(presenter->drawCount(), 1);
    if (killServer) {
      x.reset();
    } else {
      // What a window manager sends when the host clicks the close button.
      Display* d = XOpenDisplay(x->display().c_str());
      ASSERT_TRUE(d);
      Window root = 0, parent = 0, *children = nullptr;
      unsigned int count = 0;
      XQueryTree(d, RootWindow(d, 0), &root, &parent, &children, &count);
      ASSERT_EQ(count, 1u);
      XEvent close{};
      close.xclient.type = ClientMessage;
      close.xclient.window = children[0];
      close.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
      close.xclient.format = 32;
      close.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
      XSendEvent(d, children[0], False, NoEventMask, &close);
      XFree(children);
      XSync(d, False);
      XCloseDisplay(d);
    }
    sink->enqueue(programFrame());
    for (int i = 0; i < 100 && !closedTold; ++i) runtime->advance(PreviewPresenter::kTick);
    EXPECT_EQ(closedTold, 1);
    runtime->advance(PreviewPresenter::kTick * 3);
    EXPECT_EQ(closedTold, 1);
  }
}

}  // namespace
}  // namespace quarzadel
