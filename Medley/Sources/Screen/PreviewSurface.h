#pragma once
// Where a preview's drawable is shown: a window on the X display when one can
// be opened, otherwise an offscreen surface that keeps the last picture.
#include <cstdint>
#include <memory>
#include <string>

#include "Platform/Media/PixelBuffer.h"

namespace medley {

class PreviewSurface {
 public:
  virtual ~PreviewSurface() = default;
  virtual int width() const = 0;
  virtual int height() const = 0;
  // Shows a BGRA picture of the surface's size; false when the surface could
  // not show it (a picture of another size, the window gone, the display lost).
  virtual bool present(const platform::PixelBufferRef& bgra) = 0;
  // The last picture presented, or none.
  virtual platform::PixelBufferRef lastPresented() const = 0;
  virtual bool isWindow() const = 0;
  // Handles what the window system reported since the last call (exposure,
  // resizing, the host closing the window); true when the picture must be
  // drawn again. Called on the thread that presents.
  virtual bool handleEvents() { return false; }
  // True once the window was closed by the host or lost with its display; it
  // shows nothing more.
  virtual bool isClosed() const { return false; }

  // A window titled `title` on $DISPLAY when there is one, else offscreen.
  static std::shared_ptr<PreviewSurface> make(int width, int height, const std::string& title);
  static std::shared_ptr<PreviewSurface> makeOffscreen(int width, int height);
};

}  // namespace medley
