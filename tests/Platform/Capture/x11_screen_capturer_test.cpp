#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <unistd.h>
#include <algorithm>

#include "Platform/Capture/X11ScreenCapturer.h"
#include "Platform/Dispatch/Runtime.h"
#include "Platform/X11/OwnWindows.h"
#include "peers/XvfbServer.h"

// Last: Xlib's macros (None, Bool) would clash with the test framework's names.
#include <X11/Xatom.h>
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
  SolidWindow(const std::string& display, const char* name, unsigned long rgb, int w, int h, int x = 100, int y = 50) {
    dpy_ = XOpenDisplay(display.c_str());
    if (!dpy_) return;
    window_ = XCreateSimpleWindow(dpy_, DefaultRootWindow(dpy_), x, y, static_cast<unsigned>(w),
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
  void move(int x, int y) {
    XMoveWindow(dpy_, window_, x, y);
    XSync(dpy_, False);
  }
  Window id() const { return window_; }
  Display* display() const { return dpy_; }

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

// A window partly past the screen's edge: the server refuses to read it whole,
// so only what lies on the screen is read and the rest of the picture is black.
TEST(X11ScreenCapturerTest, AWindowPastTheScreenEdgeIsCapturedWhereItIsVisibleAndBlackBeyond) {
  qztest::XvfbServer x("640x480x24");
  ASSERT_TRUE(x.ok());
  ASSERT_TRUE(x.run("xsetroot -solid '#ffffff'"));
  // 320 wide from x 460: its last 140 columns lie past the right edge.
  SolidWindow window(x.display(), "Past the edge", 0x00ff00, 320, 240, 460, 100);
  X11ScreenCapturer capturer{x.display()};
  std::optional<ScreenCaptureTarget> target;
  for (const auto& t : capturer.targets())
    if (t.name == "Past the edge") target = t;
  ASSERT_TRUE(target);
  Frames frames;
  auto stream = capturer.start(*target, 320, 240, frames.handlers());
  ASSERT_TRUE(frames.waitFor(1)) << "a window past the edge still gives frames";
  const std::array<int, 4> green{0, 255, 0, 255}, black{0, 0, 0, 255};
  {
    std::lock_guard lock(frames.m);
    const auto& b = *frames.got[0].first;
    for (auto [px, py] : {std::pair{0, 0}, {176, 120}, {0, 239}}) EXPECT_EQ(pixel(b, px, py), green) << px << "," << py;
    for (auto [px, py] : {std::pair{184, 0}, {250, 120}, {319, 239}}) EXPECT_EQ(pixel(b, px, py), black) << px << "," << py;
  }

  // Moved past the bottom edge while shared: the picture follows, it does not freeze.
  window.move(100, 400);
  ASSERT_TRUE(frames.waitFor(2));
  {
    std::lock_guard lock(frames.m);
    const auto& b = *frames.got.back().first;
    EXPECT_EQ(pixel(b, 160, 2), green);
    EXPECT_EQ(pixel(b, 319, 77), green);
    EXPECT_EQ(pixel(b, 160, 84), black);
    EXPECT_EQ(pixel(b, 0, 239), black);
  }
  // Wholly off the screen: black, and the share goes on.
  window.move(700, 100);
  ASSERT_TRUE(frames.waitFor(3));
  {
    std::lock_guard lock(frames.m);
    EXPECT_EQ(pixel(*frames.got.back().first, 160, 120), black);
  }
  // Back on the screen: its pixels again.
  window.move(10, 10);
  ASSERT_TRUE(frames.waitFor(4));
  std::lock_guard lock(frames.m);
  EXPECT_EQ(pixel(*frames.got.back().first, 300, 220), green);
  EXPECT_TRUE(frames.stops.empty());
}

// The process's own windows are not offered, whatever their title; a title alone
// marks nothing.
TEST(X11ScreenCapturerTest, TheProcesssOwnWindowsAreLeftOutByTheirMarksNotByTheirTitle) {
  qztest::XvfbServer x;
  ASSERT_TRUE(x.ok());
  SolidWindow ours(x.display(), "Quarzadel preview", 0x000000, 64, 36);
  markOwnWindow(ours.display(), ours.id());
  SolidWindow sameTitle(x.display(), "Quarzadel preview", 0x000000, 64, 36);
  // Marked only the way other toolkits do: our process id on this machine.
  SolidWindow byPid(x.display(), "By pid", 0x000000, 64, 36);
  const unsigned long pid = static_cast<unsigned long>(::getpid()), otherPid = pid + 1;
  const Atom netPid = XInternAtom(byPid.display(), "_NET_WM_PID", False);
  XChangeProperty(byPid.display(), byPid.id(), netPid, XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&pid), 1);
  XSync(byPid.display(), False);
  SolidWindow otherProcess(x.display(), "Other process", 0x000000, 64, 36);
  XChangeProperty(otherProcess.display(), otherProcess.id(), netPid, XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&otherPid), 1);
  XSync(otherProcess.display(), False);
  // The same process id on another machine is another process.
  SolidWindow elsewhere(x.display(), "Elsewhere", 0x000000, 64, 36);
  XChangeProperty(elsewhere.display(), elsewhere.id(), netPid, XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&pid), 1);
  const std::string host = "some-other-host.invalid";
  XChangeProperty(elsewhere.display(), elsewhere.id(), XA_WM_CLIENT_MACHINE, XA_STRING, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(host.data()), static_cast<int>(host.size()));
  XSync(elsewhere.display(), False);

  X11ScreenCapturer capturer{x.display()};
  std::vector<uint64_t> offered;
  for (const auto& t : capturer.targets())
    if (t.kind == ScreenCaptureTarget::Kind::window) offered.push_back(t.id);
  auto has = [&](Window w) { return std::find(offered.begin(), offered.end(), w) != offered.end(); };
  EXPECT_FALSE(has(ours.id()));
  EXPECT_TRUE(has(sameTitle.id()));
  EXPECT_FALSE(has(byPid.id()));
  EXPECT_TRUE(has(otherProcess.id()));
  EXPECT_TRUE(has(elsewhere.id()));

  // Under a window manager that lists its clients, ours is still left out.
  Window list[] = {ours.id(), sameTitle.id()};
  XChangeProperty(ours.display(), DefaultRootWindow(ours.display()), XInternAtom(ours.display(), "_NET_CLIENT_LIST", False),
                  XA_WINDOW, 32, PropModeReplace, reinterpret_cast<const unsigned char*>(list), 2);
  XSync(ours.display(), False);
  offered.clear();
  for (const auto& t : capturer.targets())
    if (t.kind == ScreenCaptureTarget::Kind::window) offered.push_back(t.id);
  EXPECT_EQ(offered, (std::vector<uint64_t>{sameTitle.id()}));
}

// Another running Studio marks its preview with its own process id and token:
// that window is the application's all the same and is not offered either.
TEST(X11ScreenCapturerTest, AnotherStudioProcesssPreviewIsLeftOutToo) {
  qztest::XvfbServer x;
  ASSERT_TRUE(x.ok());
  SolidWindow theirs(x.display(), "Quarzadel preview", 0x000000, 64, 36);
  const unsigned long otherPid = static_cast<unsigned long>(::getpid()) + 1;
  XChangeProperty(theirs.display(), theirs.id(), XInternAtom(theirs.display(), "_NET_WM_PID", False), XA_CARDINAL, 32,
                  PropModeReplace, reinterpret_cast<const unsigned char*>(&otherPid), 1);
  const std::string token = "0123abcd4567ef89-" + std::to_string(otherPid);
  XChangeProperty(theirs.display(), theirs.id(), XInternAtom(theirs.display(), "_QUARZADEL_OWNER", False), XA_STRING, 8,
                  PropModeReplace, reinterpret_cast<const unsigned char*>(token.data()), static_cast<int>(token.size()));
  XSync(theirs.display(), False);
  SolidWindow other(x.display(), "Other program", 0x000000, 64, 36);

  X11ScreenCapturer capturer{x.display()};
  std::vector<uint64_t> offered;
  for (const auto& t : capturer.targets())
    if (t.kind == ScreenCaptureTarget::Kind::window) offered.push_back(t.id);
  EXPECT_EQ(offered, (std::vector<uint64_t>{other.id()}));
}

}  // namespace
}  // namespace platform
