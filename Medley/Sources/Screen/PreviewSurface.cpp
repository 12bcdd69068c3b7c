#include "Medley/Sources/Screen/PreviewSurface.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "Platform/X11/OwnWindows.h"
#include "Platform/X11/XlibSetup.h"

namespace medley {
namespace {

class OffscreenSurface : public PreviewSurface {
 public:
  OffscreenSurface(int w, int h) : width_(w), height_(h) {}
  int width() const override { return width_; }
  int height() const override { return height_; }
  bool present(const platform::PixelBufferRef& bgra) override {
    last_ = bgra;
    return true;
  }
  platform::PixelBufferRef lastPresented() const override { return last_; }
  bool isWindow() const override { return false; }

 protected:
  int width_, height_;
  platform::PixelBufferRef last_;
};

// A plain X window; pictures go up with XPutImage (32-bit TrueColor is BGRA in
// memory). It follows the window's size, redraws when exposed, and takes the
// window manager's close request as the host closing the preview: the window
// goes, the process stays.
class WindowSurface final : public OffscreenSurface {
 public:
  WindowSurface(Display* display, int w, int h, const std::string& title) : OffscreenSurface(w, h), display_(display) {
    platform::flagConnectionLoss(display_, &lost_);
    const int screen = DefaultScreen(display_);
    window_ = XCreateSimpleWindow(display_, RootWindow(display_, screen), 0, 0, w, h, 0, BlackPixel(display_, screen),
                                  BlackPixel(display_, screen));
    XStoreName(display_, window_, title.c_str());
    // Screen sharing leaves the preview out of what it offers.
    platform::markOwnWindow(display_, window_);
    XSelectInput(display_, window_, ExposureMask | StructureNotifyMask);
    // Without this the window manager ends our whole connection on close.
    deleteWindow_ = XInternAtom(display_, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(display_, window_, &deleteWindow_, 1);
    XMapRaised(display_, window_);
    XSync(display_, False);
    gc_ = XCreateGC(display_, window_, 0, nullptr);
  }
  ~WindowSurface() override {
    // A lost display sends nothing more, but the GC's memory is still ours.
    XFreeGC(display_, gc_);
    if (window_ && !lost_) XDestroyWindow(display_, window_);
    XCloseDisplay(display_);
  }
  bool isWindow() const override { return true; }
  bool isClosed() const override { return !window_ || lost_; }

  bool handleEvents() override {
    bool redraw = false;
    while (!isClosed() && XPending(display_) > 0) {
      XEvent event;
      XNextEvent(display_, &event);
      if (event.type == Expose) {
        redraw = true;
      } else if (event.type == ConfigureNotify) {
        const auto& c = event.xconfigure;
        if (c.width != width_ || c.height != height_) {
          width_ = c.width;
          height_ = c.height;
          redraw = true;
        }
      } else if (event.type == ClientMessage && static_cast<Atom>(event.xclient.data.l[0]) == deleteWindow_) {
        XDestroyWindow(display_, window_);
        XSync(display_, False);
        window_ = 0;
      }
    }
    return redraw && !isClosed();
  }

  bool present(const platform::PixelBufferRef& bgra) override {
    OffscreenSurface::present(bgra);
    if (!bgra || isClosed() || bgra->width() != width_ || bgra->height() != height_) return false;
    const auto plane = bgra->plane(0);
    XImage* image = XCreateImage(display_, DefaultVisual(display_, DefaultScreen(display_)),
                                 DefaultDepth(display_, DefaultScreen(display_)), ZPixmap, 0,
                                 reinterpret_cast<char*>(plane.data), bgra->width(), bgra->height(), 32,
                                 static_cast<int>(plane.bytesPerRow));
    if (!image) return false;
    platform::lastXError() = 0;
    XPutImage(display_, window_, gc_, image, 0, 0, 0, 0, bgra->width(), bgra->height());
    image->data = nullptr;  // the picture's memory is not the image's to free
    XDestroyImage(image);
    XSync(display_, False);
    return !lost_ && platform::lastXError() == 0;
  }

 private:
  Display* display_;
  std::atomic<bool> lost_{false};
  Window window_ = 0;
  Atom deleteWindow_ = 0;
  GC gc_ = nullptr;
};

}  // namespace

std::shared_ptr<PreviewSurface> PreviewSurface::makeOffscreen(int width, int height) {
  return std::make_shared<OffscreenSurface>(width, height);
}

std::shared_ptr<PreviewSurface> PreviewSurface::make(int width, int height, const std::string& title) {
  const char* name = std::getenv("DISPLAY");
  if (name && *name) {
    platform::prepareXlib();
    if (Display* d = XOpenDisplay(name)) {
      if (DefaultDepth(d, DefaultScreen(d)) >= 24) return std::make_shared<WindowSurface>(d, width, height, title);
      XCloseDisplay(d);
    }
  }
  return makeOffscreen(width, height);
}

}  // namespace medley
