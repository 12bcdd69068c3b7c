#pragma once
// A made picture: bi-planar 4:2:0 video-range samples with optional coverage,
// ready to be composited over a frame of the same layout: 8-bit BT.709, or
// 10-bit BT.2020 HLG where high-dynamic-range frames are composed.
#include <cstdint>
#include <memory>

#include "Medley/Sources/Screen/AlphaPlanes.h"
#include "Platform/Media/PixelBuffer.h"

namespace medley {

struct ScreenPicture {
  platform::PixelBufferRef planes;  // 420v, or x420 holding HLG
  AlphaPlanesRef alpha;             // none: opaque

  int width() const { return planes ? planes->width() : 0; }
  int height() const { return planes ? planes->height() : 0; }

  // Composites over `target` (a 420v or 420f buffer, or an x420 one for x420
  // planes; nothing is drawn across sample widths) with the picture's top-left
  // corner at (x, y), rounded down to even so that chroma stays aligned;
  // what falls outside the target is clipped.
  void drawOver(platform::PixelBuffer& target, double x, double y) const;

  // Straight or premultiplied BGRA to samples and coverage; nullptr for an empty size.
  static std::shared_ptr<ScreenPicture> fromBGRA(const uint8_t* bgra, int stride, int width, int height,
                                                 bool premultiplied, platform::PixelBufferRef reuse = nullptr);
};

using ScreenPictureRef = std::shared_ptr<const ScreenPicture>;

// Fills a bi-planar buffer with one colour (its alpha blends it over black);
// an x420 buffer gets the colour converted to BT.2020 HLG.
void fillColor(platform::PixelBuffer& target, double red, double green, double blue, double alpha);

}  // namespace medley
