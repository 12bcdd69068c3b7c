#pragma once
// A picture described lazily: a source buffer with a scale about the origin,
// a crop and a coverage mask, made into samples only when render() is called.
// Sources are bi-planar 4:2:0 (video) or BGRA with straight alpha (still pictures).
#include <memory>

#include "Medley/Sources/Screen/AlphaPlanes.h"
#include "Medley/Sources/Screen/ScreenGeometry.h"
#include "Medley/Sources/Screen/ScreenPicture.h"
#include "Platform/Media/PixelBuffer.h"

namespace medley {

class ScreenImage {
 public:
  explicit ScreenImage(platform::PixelBufferRef source);

  const platform::PixelBufferRef& source() const { return source_; }
  // The picture's rectangle: the source's, scaled, then cropped.
  ScreenRect extent() const;
  double scaleX() const { return scaleX_; }
  double scaleY() const { return scaleY_; }
  const AlphaPlanesRef& mask() const { return mask_; }

  // Scaled about the origin (scales multiply).
  ScreenImage scaled(double sx, double sy) const;
  // Cropped to the part inside `rect`.
  ScreenImage cropped(const ScreenRect& rect) const;
  // Coverage multiplied by `mask`, laid at the extent's origin.
  ScreenImage masked(AlphaPlanesRef mask) const;

  // The extent's samples, its size rounded to whole samples; `reuse` is a
  // buffer of the same size that may be written over. nullptr for an empty extent.
  std::shared_ptr<ScreenPicture> render(platform::PixelBufferRef reuse = nullptr) const;

 private:
  platform::PixelBufferRef source_;
  double scaleX_ = 1;
  double scaleY_ = 1;
  ScreenRect crop_;  // in scaled coordinates
  AlphaPlanesRef mask_;
};

}  // namespace medley
