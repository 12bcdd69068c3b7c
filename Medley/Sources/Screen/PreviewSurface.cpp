#include "Medley/Sources/Screen/PreviewSurface.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdlib>
#include <cstring>

namespace medley {
namespace {

class OffscreenSurface : public PreviewSurface {
 public:
  OffscreenSurface(int w, int h) : width_(w), height_(h) {}
  int width() const override { return width_; }
  int height() const override { return height_; }
  void present(const platform::PixelBufferRef& bgra) override { last_ = bgra; }
  platform::PixelBufferRef lastPresented() const override { return last_; }
  bool isWindow() const override { return false; }

 protected:
  int width_, height_;
  platform::PixelBufferRef last_;
};

// A plain X window; pictures go up with XPutImage (32-bit TrueColor is BGRA in memory).
class WindowSurface final : public OffscreenSurface {
 public:
  WindowSurface(Display* display, int w, int h, const std::string& title) : OffscreenSurface(w, h), display_(display) {
    const int screen = DefaultScreen(display_);
    window_ = XCreateSimpleWindow(display_, RootWindow(display_, screen), 0, 0, w, h, 0, BlackPixel(display_, screen),
                                  BlackPixel(display_, screen));
    XStoreName(display_, window_, title.c_str());
    XMapRaised(display_, window_);
    XSync(display_, False);
    gc_ = XCreateGC(display_, window_, 0, nullptr);
  }
  ~WindowSurface() override {
    XFreeGC(display_, gc_);
    XDestroyWindow(display_, window_);
    XCloseDisplay(display_);
  }
  bool isWindow() const override { return true; }
  void present(const platform::PixelBufferRef& bgra) override {
    OffscreenSurface::present(bgra);
    if (!bgra) return;
    const auto plane = bgra->plane(0);
    XImage* image = XCreateImage(display_, DefaultVisual(display_, DefaultScreen(display_)),
                                 DefaultDepth(display_, DefaultScreen(display_)), ZPixmap, 0,
                                 reinterpret_cast<char*>(plane.data), bgra->width(), bgra->height(), 32,
                                 static_cast<int>(plane.bytesPerRow));
    if (!image) return;
    XPutImage(display_, window_, gc_, image, 0, 0, 0, 0, bgra->width(), bgra->height());
    image->data = nullptr;  // the picture's memory is not the image's to free
    XDestroyImage(image);
    XSync(display_, False);
  }

 private:
  Display* display_;
  Window window_ = 0;
  GC gc_ = nullptr;
};

}  // namespace

std::shared_ptr<PreviewSurface> PreviewSurface::makeOffscreen(int width, int height) {
  return std::make_shared<OffscreenSurface>(width, height);
}

std::shared_ptr<PreviewSurface> PreviewSurface::make(int width, int height, const std::string& title) {
  const char* name = std::getenv("DISPLAY");
  if (name && *name) {
    if (Display* d = XOpenDisplay(name)) {
      if (DefaultDepth(d, DefaultScreen(d)) >= 24) return std::make_shared<WindowSurface>(d, width, height, title);
      XCloseDisplay(d);
    }
  }
  return makeOffscreen(width, height);
}

}  // namespace medley
