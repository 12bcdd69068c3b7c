#pragma once
// A made picture: BT.709 video-range bi-planar 4:2:0 samples with optional
// coverage, ready to be composited over a frame of the same layout.
#include <cstdint>
#include <memory>

#include "Medley/Sources/Screen/AlphaPlanes.h"
#include "Platform/Media/PixelBuffer.h"

namespace medley {

struct ScreenPicture {
  platform::PixelBufferRef planes;  // 420v
  AlphaPlanesRef alpha;             // none: opaque

  int width() const { return planes ? planes->width() : 0; }
  int height() const { return planes ? planes->height() : 0; }

  // Composites over `target` (a 420v or 420f buffer) with the picture's top-left
  // corner at (x, y), rounded down to even so that chroma stays aligned;
  // what falls outside the target is clipped.
  void drawOver(platform::PixelBuffer& target, double x, double y) const;

  // Straight or premultiplied BGRA to samples and coverage; nullptr for an empty size.
  static std::shared_ptr<ScreenPicture> fromBGRA(const uint8_t* bgra, int stride, int width, int height,
                                                 bool premultiplied, platform::PixelBufferRef reuse = nullptr);
};

using ScreenPictureRef = std::shared_ptr<const ScreenPicture>;

// Fills a bi-planar buffer with one colour (its alpha blends it over black).
void fillColor(platform::PixelBuffer& target, double red, double green, double blue, double alpha);

}  // namespace medley
