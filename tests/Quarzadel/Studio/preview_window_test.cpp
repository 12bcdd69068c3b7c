#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "peers/XvfbServer.h"
#include "Platform/Dispatch/VirtualRuntime.h"
#include "Quarzadel/Program/PreviewSink.h"
#include "Quarzadel/Studio/PreviewWindow.h"

// After our headers: Xlib defines macros such as Status.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

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

}  // namespace
}  // namespace quarzadel
