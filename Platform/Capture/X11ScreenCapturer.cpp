#include "Platform/Capture/X11ScreenCapturer.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale_argb.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "Platform/Capture/Letterbox.h"
#include "Platform/Dispatch/RepeatingTimer.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/X11/OwnWindows.h"
#include "Platform/X11/XlibSetup.h"

namespace platform {

namespace {

std::string displayLabel(const std::optional<std::string>& name) {
  if (name) return *name;
  const char* env = std::getenv("DISPLAY");
  return env ? env : "";
}

Display* openDisplay(const std::optional<std::string>& name, std::atomic<bool>* lost) {
  prepareXlib();
  const std::string label = displayLabel(name);
  if (label.empty()) throw ScreenCaptureError("No X display is available.");
  Display* dpy = XOpenDisplay(label.c_str());
  if (!dpy) throw ScreenCaptureError("The X display " + label + " can't be opened.");
  flagConnectionLoss(dpy, lost);
  return dpy;
}

std::string windowName(Display* dpy, Window w) {
  Atom utf8 = XInternAtom(dpy, "UTF8_STRING", False);
  Atom netName = XInternAtom(dpy, "_NET_WM_NAME", False);
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::string name;
  if (XGetWindowProperty(dpy, w, netName, 0, 1024, False, utf8, &type, &format, &count, &after, &data) == Success &&
      data && type == utf8 && format == 8)
    name.assign(reinterpret_cast<char*>(data), count);
  if (data) XFree(data);
  if (name.empty()) {
    char* legacy = nullptr;
    if (XFetchName(dpy, w, &legacy) && legacy) name = legacy;
    if (legacy) XFree(legacy);
  }
  return name;
}

// The window manager's client list, or the named, mapped children of the root.
std::vector<Window> topLevelWindows(Display* dpy, Window root) {
  std::vector<Window> windows;
  Atom clientList = XInternAtom(dpy, "_NET_CLIENT_LIST", True);
  if (clientList != None) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(dpy, root, clientList, 0, 4096, False, XA_WINDOW, &type, &format, &count, &after, &data) ==
            Success &&
        data && format == 32) {
      auto* ids = reinterpret_cast<unsigned long*>(data);
      windows.assign(ids, ids + count);
    }
    if (data) XFree(data);
    if (!windows.empty()) return windows;
  }
  Window rootReturn = 0, parent = 0;
  Window* children = nullptr;
  unsigned int n = 0;
  if (XQueryTree(dpy, root, &rootReturn, &parent, &children, &n) && children) {
    for (unsigned int i = 0; i < n; ++i) {
      XWindowAttributes a;
      if (XGetWindowAttributes(dpy, children[i], &a) && a.map_state == IsViewable && !a.override_redirect)
        windows.push_back(children[i]);
    }
  }
  if (children) XFree(children);
  return windows;
}

double nowSeconds(const Runtime& runtime) { return toSeconds(runtime.now()); }

// One capture: its own connection to the server, used only on its queue.
class X11Stream final : public ScreenCaptureStream {
 public:
  struct State {
    Display* dpy = nullptr;
    bool shm = false;
    XShmSegmentInfo segment{};
    XImage* image = nullptr;
    int imageWidth = 0, imageHeight = 0;
    ScreenCaptureTarget target;
    int outWidth = 0, outHeight = 0;
    std::vector<uint8_t> previous;
    std::vector<uint8_t> staging;  // a window partly off the screen, assembled
    ScreenCapturer::Handlers handlers;
    std::shared_ptr<Runtime> runtime;
    std::unique_ptr<RepeatingTimer> timer;
    bool ended = false;
    std::atomic<bool> lost{false};

    ~State() {
      // After a lost connection every Xlib call may wait on the display's lock
      // forever: the connection's memory is left to the process instead.
      if (lost) {
        if (image) {
          // Freeing the image is the client's alone; its shared pixels are detached first.
          if (shm) {
            shmdt(segment.shmaddr);
            image->data = nullptr;
          }
          XDestroyImage(image);
        }
        return;
      }
      releaseImage();
      if (dpy) XCloseDisplay(dpy);
    }

    void releaseImage() {
      if (!image) return;
      if (shm) {
        XShmDetach(dpy, &segment);
        XSync(dpy, False);
        shmdt(segment.shmaddr);
      }
      XDestroyImage(image);
      image = nullptr;
    }

    bool makeImage(int w, int h) {
      releaseImage();
      const int screen = DefaultScreen(dpy);
      Visual* visual = DefaultVisual(dpy, screen);
      const int depth = DefaultDepth(dpy, screen);
      if (shm) {
        image = XShmCreateImage(dpy, visual, static_cast<unsigned>(depth), ZPixmap, nullptr, &segment,
                                static_cast<unsigned>(w), static_cast<unsigned>(h));
        if (!image) return false;
        segment.shmid = shmget(IPC_PRIVATE, static_cast<size_t>(image->bytes_per_line) * image->height, IPC_CREAT | 0600);
        if (segment.shmid < 0) {
          XDestroyImage(image);
          image = nullptr;
          return false;
        }
        segment.shmaddr = image->data = static_cast<char*>(shmat(segment.shmid, nullptr, 0));
        segment.readOnly = False;
        lastXError() = 0;
        XShmAttach(dpy, &segment);
        XSync(dpy, False);
        // Marked for removal at once: the segment goes with the last detach, even on a crash.
        shmctl(segment.shmid, IPC_RMID, nullptr);
        if (lastXError()) {
          shmdt(segment.shmaddr);
          XDestroyImage(image);
          image = nullptr;
          shm = false;  // the server cannot reach our memory (another host): read plainly
          return makeImage(w, h);
        }
      }
      imageWidth = w;
      imageHeight = h;
      return true;
    }

    Drawable drawable() const {
      return target.kind == ScreenCaptureTarget::Kind::display
                 ? RootWindow(dpy, static_cast<int>(target.id) < ScreenCount(dpy) ? static_cast<int>(target.id) : 0)
                 : static_cast<Window>(target.id);
    }

    // The part of the target that lies on its screen, in the target's coordinates.
    struct Visible {
      int x = 0, y = 0, width = 0, height = 0;
    };
    Visible visiblePart(const XWindowAttributes& a) const {
      if (target.kind == ScreenCaptureTarget::Kind::display) return {0, 0, a.width, a.height};
      int rootX = 0, rootY = 0;
      Window child = 0;
      // Where the window is on the root, through any frames of a window manager.
      if (!XTranslateCoordinates(dpy, drawable(), a.root, 0, 0, &rootX, &rootY, &child)) return {};
      const int screenWidth = a.screen ? WidthOfScreen(a.screen) : a.width;
      const int screenHeight = a.screen ? HeightOfScreen(a.screen) : a.height;
      const int x0 = std::max(0, -rootX), y0 = std::max(0, -rootY);
      const int x1 = std::min(a.width, screenWidth - rootX), y1 = std::min(a.height, screenHeight - rootY);
      if (x1 <= x0 || y1 <= y0) return {};
      return {x0, y0, x1 - x0, y1 - y0};
    }

    void end(const std::string& reason) {
      if (ended) return;
      ended = true;
      if (timer) timer->cancel();
      if (handlers.onStop) handlers.onStop(reason);
    }

    void capture() {
      if (ended) return;
      lastXError() = 0;
      XWindowAttributes a;
      const bool described = XGetWindowAttributes(dpy, drawable(), &a);
      if (lost) {
        end("The shared display went away.");
        return;
      }
      if (!described || lastXError()) {
        end(target.kind == ScreenCaptureTarget::Kind::window ? "The shared window was closed."
                                                               : "The shared display went away.");
        return;
      }
      if (a.map_state != IsViewable) return;  // minimised or hidden: nothing to read
      // The server reads a window only where it lies on the screen: a window
      // reaching past an edge is read where it is visible, the rest left black.
      const Visible visible = visiblePart(a);
      if (lastXError()) return;  // closed meanwhile: the next capture reports it
      if (visible.width > 0 && visible.height > 0) {
        if (shm && (!image || visible.width != imageWidth || visible.height != imageHeight) &&
            !makeImage(visible.width, visible.height))
          return;
        lastXError() = 0;
        if (shm) {
          if (!XShmGetImage(dpy, drawable(), image, visible.x, visible.y, AllPlanes)) return;
        } else {
          releaseImage();
          image = XGetImage(dpy, drawable(), visible.x, visible.y, static_cast<unsigned>(visible.width),
                            static_cast<unsigned>(visible.height), AllPlanes, ZPixmap);
          if (!image) return;
          imageWidth = visible.width;
          imageHeight = visible.height;
        }
        XSync(dpy, False);
        if (lost) {
          end("The shared display went away.");
          return;
        }
        if (lastXError() || image->bits_per_pixel != 32) return;  // moved away meanwhile, or an unusual visual
      }
      const bool whole = visible.x == 0 && visible.y == 0 && visible.width == a.width && visible.height == a.height;
      const uint8_t* pixels = nullptr;
      int width = a.width, height = a.height, bytesPerRow = 0;
      if (whole) {
        pixels = reinterpret_cast<const uint8_t*>(image->data);
        bytesPerRow = image->bytes_per_line;
      } else {
        // The window's own size, black where it lies off the screen.
        bytesPerRow = width * 4;
        staging.assign(static_cast<size_t>(bytesPerRow) * height, 0);
        for (int row = 0; row < visible.height; ++row)
          std::memcpy(staging.data() + static_cast<size_t>(visible.y + row) * bytesPerRow + visible.x * 4,
                      image->data + static_cast<size_t>(row) * image->bytes_per_line,
                      static_cast<size_t>(visible.width) * 4);
        pixels = staging.data();
      }
      const size_t bytes = static_cast<size_t>(bytesPerRow) * height;
      if (previous.size() == bytes && std::memcmp(previous.data(), pixels, bytes) == 0) return;  // unchanged
      previous.assign(pixels, pixels + bytes);

      auto out = PixelBuffer::make(outWidth, outHeight, PixelFormat::bgra);
      if (!out) return;
      auto plane = out->plane(0);
      // The frame's size was fixed when sharing began; a window resized since
      // keeps its proportions between black bars.
      const auto fit = Letterbox::of(width, height, outWidth, outHeight);
      if (fit.width != outWidth || fit.height != outHeight)
        libyuv::ARGBRect(plane.data, static_cast<int>(plane.bytesPerRow), 0, 0, outWidth, outHeight, 0xff000000u);
      libyuv::ARGBScale(pixels, bytesPerRow, width, height,
                        plane.data + static_cast<size_t>(fit.y) * plane.bytesPerRow + static_cast<size_t>(fit.x) * 4,
                        static_cast<int>(plane.bytesPerRow), fit.width, fit.height, libyuv::kFilterBilinear);
      // Depth 24 leaves the fourth byte undefined: the picture is opaque.
      for (int y = fit.y; y < fit.y + fit.height; ++y) {
        uint8_t* p = plane.data + static_cast<size_t>(y) * plane.bytesPerRow + static_cast<size_t>(fit.x) * 4 + 3;
        for (int x = 0; x < fit.width; ++x, p += 4) *p = 255;
      }
      if (handlers.onFrame) handlers.onFrame(out, nowSeconds(*runtime));
    }
  };

  X11Stream(std::shared_ptr<State> state, std::shared_ptr<SerialQueue> queue)
      : state_(std::move(state)), queue_(std::move(queue)) {}

  ~X11Stream() override { stop(); }

  void update(const ScreenCaptureTarget& target, int width, int height) override {
    queue_->async([weak = std::weak_ptr<State>(state_), target, width, height] {
      if (auto s = weak.lock()) {
        s->target = target;
        s->outWidth = width;
        s->outHeight = height;
        s->previous.clear();
      }
    });
  }

  void stop() override {
    if (!state_) return;
    if (state_->timer) state_->timer->cancel();
    // The connection is closed on the queue, after any capture that is running.
    auto state = std::move(state_);
    queue_->async([state]() mutable {
      state->ended = true;
      state->timer.reset();
      state.reset();
    });
  }

 private:
  std::shared_ptr<State> state_;
  std::shared_ptr<SerialQueue> queue_;
};

}  // namespace

X11ScreenCapturer::X11ScreenCapturer(std::optional<std::string> display, std::shared_ptr<Runtime> runtime,
                                     std::string queueLabel)
    : display_(std::move(display)), runtime_(std::move(runtime)), queueLabel_(std::move(queueLabel)) {}

std::vector<ScreenCaptureTarget> X11ScreenCapturer::targets() {
  std::atomic<bool> lost{false};
  Display* dpy = openDisplay(display_, &lost);
  std::vector<ScreenCaptureTarget> list;
  for (int s = 0; s < ScreenCount(dpy); ++s) {
    list.push_back({ScreenCaptureTarget::Kind::display, static_cast<uint64_t>(s), "Display " + std::to_string(s + 1),
                    DisplayWidth(dpy, s), DisplayHeight(dpy, s)});
  }
  for (int s = 0; s < ScreenCount(dpy); ++s) {
    for (Window w : topLevelWindows(dpy, RootWindow(dpy, s))) {
      lastXError() = 0;
      XWindowAttributes a;
      if (!XGetWindowAttributes(dpy, w, &a) || lastXError()) continue;
      if (isOwnWindow(dpy, w)) continue;  // our preview would show itself
      std::string name = windowName(dpy, w);
      if (name.empty()) continue;
      list.push_back({ScreenCaptureTarget::Kind::window, static_cast<uint64_t>(w), name, a.width, a.height});
    }
  }
  XCloseDisplay(dpy);
  if (lost) throw ScreenCaptureError("The X display went away.");
  return list;
}

std::unique_ptr<ScreenCaptureStream> X11ScreenCapturer::start(const ScreenCaptureTarget& target, int width,
                                                              int height, Handlers handlers) {
  auto state = std::make_shared<X11Stream::State>();
  state->dpy = openDisplay(display_, &state->lost);
  int major = 0, minor = 0;
  Bool pixmaps = False;
  state->shm = XShmQueryVersion(state->dpy, &major, &minor, &pixmaps);
  state->target = target;
  state->outWidth = width;
  state->outHeight = height;
  state->handlers = std::move(handlers);
  state->runtime = runtime_;
  if (!PixelBuffer::isValidSize(width, height)) throw ScreenCaptureError("The capture size is not valid.");

  auto queue = SerialQueue::make(queueLabel_, runtime_, QualityOfService::userInteractive);
  const auto period = static_cast<Nanos>(std::llround(1e9 / 30.0));
  state->timer = std::make_unique<RepeatingTimer>(queue, 0, period, [weak = std::weak_ptr<X11Stream::State>(state)] {
    if (auto s = weak.lock()) s->capture();
  });
  state->timer->resume();
  return std::make_unique<X11Stream>(std::move(state), std::move(queue));
}

}  // namespace platform
