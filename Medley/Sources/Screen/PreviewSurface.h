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
  // Shows a BGRA picture of the surface's size.
  virtual void present(const platform::PixelBufferRef& bgra) = 0;
  // The last picture presented, or none.
  virtual platform::PixelBufferRef lastPresented() const = 0;
  virtual bool isWindow() const = 0;

  // A window titled `title` on $DISPLAY when there is one, else offscreen.
  static std::shared_ptr<PreviewSurface> make(int width, int height, const std::string& title);
  static std::shared_ptr<PreviewSurface> makeOffscreen(int width, int height);
};

}  // namespace medley
