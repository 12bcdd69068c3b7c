#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <mutex>

#include "Platform/Capture/X11ScreenCapturer.h"
#include "Platform/Dispatch/Runtime.h"
#include "peers/XvfbServer.h"

// Last: Xlib's macros (None, Bool) would clash with the test framework's names.
#include <X11/Xlib.h>

namespace platform {
namespace {

struct Frames {
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::pair<PixelBufferRef, double>> got;
  std::vector<std::string> stops;
  bool waitFor(size_t n, std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    std::unique_lock lock(m);
    return cv.wait_for(lock, limit, [&] { return got.size() >= n; });
  }
  bool waitForStop() {
    std::unique_lock lock(m);
    return cv.wait_for(lock, std::chrono::seconds(5), [&] { return !stops.empty(); });
  }
  ScreenCapturer::Handlers handlers() {
    return {[this](PixelBufferRef b, double t) {
              std::lock_guard lock(m);
              got.emplace_back(std::move(b), t);
              cv.notify_all();
            },
            [this](const std::string& reason) {
              std::lock_guard lock(m);
              stops.push_back(reason);
              cv.notify_all();
            }};
  }
};

// B, G, R, A of the buffer's pixel.
std::array<int, 4> pixel(const PixelBuffer& b, int x, int y) {
  const uint8_t* p = b.baseAddressOfPlane(0) + static_cast<size_t>(y) * b.bytesPerRowOfPlane(0) + x * 4;
  return {p[0], p[1], p[2], p[3]};
}

TEST(X11ScreenCapturerTest, WithoutADisplayListingAndStartingFailWithASentence) {
  X11ScreenCapturer capturer{std::string()};
  EXPECT_THROW(capturer.targets(), ScreenCaptureError);
  try {
    capturer.targets();
  } catch (const ScreenCaptureError& e) {
    EXPECT_STREQ(e.what(), "No X display is available.");
  }
  Frames frames;
  EXPECT_THROW(capturer.start({}, 640, 360, frames.handlers()), ScreenCaptureError);
  X11ScreenCapturer unreachable{std::string(":4999")};
  EXPECT_THROW(unreachable.targets(), ScreenCaptureError);
}

TEST(X11ScreenCapturerTest, ASolidRootIsCapturedWholeScaledOnceWhileStillAndAgainWhenItChanges) {
  qztest::XvfbServer x;
  ASSERT_TRUE(x.ok()) << "Xvfb did not start";
  ASSERT_TRUE(x.run("xsetroot -solid '#2040c0'"));
  X11ScreenCapturer capturer{x.display()};
  auto targets = capturer.targets();
  ASSERT_FALSE(targets.empty());
  EXPECT_EQ(targets[0], (ScreenCaptureTarget{ScreenCaptureTarget::Kind::display, 0, "Display 1", 1280, 720}));

  Frames frames;
  auto stream = capturer.start(targets[0], 640, 360, frames.handlers());
  ASSERT_TRUE(frames.waitFor(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // about nine capture periods of a still screen
  {
    std::lock_guard lock(frames.m);
    EXPECT_EQ(frames.got.size(), 1u) << "an unchanged screen sends no new frame";
    const auto& b = *frames.got[0].first;
    EXPECT_EQ(b.width(), 640);
    EXPECT_EQ(b.height(), 360);
    EXPECT_EQ(b.format(), PixelFormat::bgra);
    for (auto [px, py] : {std::pair{0, 0}, {639, 359}, {320, 180}, {0, 359}})
      EXPECT_EQ(pixel(b, px, py), (std::array<int, 4>{0xc0, 0x40, 0x20, 255})) << px << "," << py;
  }
  ASSERT_TRUE(x.run("xsetroot -solid '#ff0000'"));
  ASSERT_TRUE(frames.waitFor(2));
  {
    std::lock_guard lock(frames.m);
    EXPECT_EQ(pixel(*frames.got[1].first, 10, 10), (std::array<int, 4>{0, 0, 255, 255}));
    EXPECT_GT(frames.got[1].second, frames.got[0].second);
  }
  stream->stop();
  const size_t count = frames.got.size();
  ASSERT_TRUE(x.run("xsetroot -solid '#00ff00'"));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  std::lock_guard lock(frames.m);
  EXPECT_EQ(frames.got.size(), count) << "nothing after stop";
  EXPECT_TRUE(frames.stops.empty());
}

TEST(X11ScreenCapturerTest, TheDisplayGoingAwayEndsTheCaptureOnce) {
  Frames frames;
  std::unique_ptr<ScreenCaptureStream> stream;
  {
    qztest::XvfbServer x;
    ASSERT_TRUE(x.ok());
    X11ScreenCapturer capturer{x.display()};
    stream = capturer.start(capturer.targets().at(0), 320, 180, frames.handlers());
    ASSERT_TRUE(frames.waitFor(1));
  }
  // Xlib ends the process on a lost connection unless told otherwise, and a
  // write to the closed socket would raise SIGPIPE.
  struct sigaction pipe {};
  ASSERT_EQ(::sigaction(SIGPIPE, nullptr, &pipe), 0);
  EXPECT_EQ(pipe.sa_handler, SIG_IGN);
  ASSERT_TRUE(frames.waitForStop());
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  std::lock_guard lock(frames.m);
  EXPECT_EQ(frames.stops, (std::vector<std::string>{"The shared display went away."}));
}

}  // namespace
}  // namespace platform

namespace platform {
namespace {

// A window of one colour, made by the test as any X client would.
class SolidWindow {
 public:
  SolidWindow(const std::string& display, const char* name, unsigned long rgb, int w, int h) {
    dpy_ = XOpenDisplay(display.c_str());
    if (!dpy_) return;
    window_ = XCreateSimpleWindow(dpy_, DefaultRootWindow(dpy_), 100, 50, static_cast<unsigned>(w),
                                  static_cast<unsigned>(h), 0, 0, rgb);
    XStoreName(dpy_, window_, name);
    XMapWindow(dpy_, window_);
    XSync(dpy_, False);
  }
  ~SolidWindow() {
    if (dpy_) XCloseDisplay(dpy_);
  }
  void destroy() {
    XDestroyWindow(dpy_, window_);
    XSync(dpy_, False);
  }
  void resize(int w, int h) {
    XResizeWindow(dpy_, window_, static_cast<unsigned>(w), static_cast<unsigned>(h));
    XSync(dpy_, False);
  }
  Window id() const { return window_; }

 private:
  Display* dpy_ = nullptr;
  Window window_ = 0;
};

TEST(X11ScreenCapturerTest, AWindowIsListedByNameCapturedAloneAndItsClosingEndsTheCaptureOnce) {
  qztest::XvfbServer x;
  ASSERT_TRUE(x.ok());
  ASSERT_TRUE(x.run("xsetroot -solid '#000000'"));
  SolidWindow window(x.display(), "Slides", 0x00ff00, 320, 240);
  X11ScreenCapturer capturer{x.display()};
  std::optional<ScreenCaptureTarget> target;
  for (const auto& t : capturer.targets())
    if (t.kind == ScreenCaptureTarget::Kind::window && t.name == "Slides") target = t;
  ASSERT_TRUE(target) << "the window is offered for sharing";
  EXPECT_EQ(target->id, window.id());
  EXPECT_EQ(target->width, 320);
  EXPECT_EQ(target->height, 240);

  Frames frames;
  auto stream = capturer.start(*target, 320, 240, frames.handlers());
  ASSERT_TRUE(frames.waitFor(1));
  {
    std::lock_guard lock(frames.m);
    const auto& b = *frames.got[0].first;
    for (auto [px, py] : {std::pair{0, 0}, {319, 239}, {160, 120}})
      EXPECT_EQ(pixel(b, px, py), (std::array<int, 4>{0, 255, 0, 255})) << "the window's own pixels, not the root's";
  }
  window.destroy();
  ASSERT_TRUE(frames.waitForStop());
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  std::lock_guard lock(frames.m);
  EXPECT_EQ(frames.stops, (std::vector<std::string>{"The shared window was closed."}));
}

TEST(X11ScreenCapturerTest, AWindowWidenedWhileSharedKeepsItsProportionsBetweenBars) {
  qztest::XvfbServer x;
  ASSERT_TRUE(x.ok());
  ASSERT_TRUE(x.run("xsetroot -solid '#ffffff'"));
  SolidWindow window(x.display(), "Notes", 0x00ff00, 320, 240);
  X11ScreenCapturer capturer{x.display()};
  std::optional<ScreenCaptureTarget> target;
  for (const auto& t : capturer.targets())
    if (t.name == "Notes") target = t;
  ASSERT_TRUE(target);
  Frames frames;
  auto stream = capturer.start(*target, 320, 240, frames.handlers());
  ASSERT_TRUE(frames.waitFor(1));
  window.resize(640, 240);
  ASSERT_TRUE(frames.waitFor(2));
  std::lock_guard lock(frames.m);
  const auto& b = *frames.got.back().first;
  ASSERT_EQ(b.width(), 320);
  ASSERT_EQ(b.height(), 240);
  // 640x240 in 320x240: the picture is 320x120 from row 60 on, black above and below.
  const std::array<int, 4> green{0, 255, 0, 255}, black{0, 0, 0, 255};
  for (auto [px, py] : {std::pair{0, 61}, {319, 178}, {160, 120}}) EXPECT_EQ(pixel(b, px, py), green) << px << "," << py;
  for (auto [px, py] : {std::pair{0, 0}, {319, 58}, {160, 182}, {0, 239}}) EXPECT_EQ(pixel(b, px, py), black) << px << "," << py;
}

}  // namespace
}  // namespace platform
