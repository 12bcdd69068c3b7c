#pragma once
// A view of an 8-bit bi-planar 4:2:0 picture (a luma plane and an interleaved
// CbCr plane), the layout every program picture is composed in. Rectangles
// inside a view start on even coordinates so that chroma stays aligned.
#include <cstdint>
#include <memory>

#include "Platform/Media/PixelBuffer.h"

namespace quarzadel {

struct YCbCr {
  uint8_t y = 16;
  uint8_t cb = 128;
  uint8_t cr = 128;
  friend bool operator==(const YCbCr&, const YCbCr&) = default;
};

// Gamma-encoded RGB (0...1) in BT.709 video range: each value rounded half away
// from zero and kept within 16...240.
YCbCr bt709VideoRange(double r, double g, double b);

struct NV12Frame {
  uint8_t* y = nullptr;
  int strideY = 0;
  uint8_t* uv = nullptr;
  int strideUV = 0;
  int width = 0;
  int height = 0;

  int chromaWidth() const { return (width + 1) / 2; }
  int chromaHeight() const { return (height + 1) / 2; }
  bool isEmpty() const { return width <= 0 || height <= 0 || y == nullptr || uv == nullptr; }

  // The part starting at (x, y), both rounded down to even, clipped to the frame.
  NV12Frame crop(int x, int y, int w, int h) const;

  // The planes of a bi-planar buffer; an empty view for any other layout.
  static NV12Frame of(const platform::PixelBuffer& buffer);
};

}  // namespace quarzadel
