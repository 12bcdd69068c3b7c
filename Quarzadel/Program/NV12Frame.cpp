#include "Quarzadel/Program/NV12Frame.h"

#include <algorithm>
#include <cmath>

namespace quarzadel {

namespace {
uint8_t videoRangeValue(double v) {
  const double r = std::round(v);  // halves away from zero
  return static_cast<uint8_t>(std::clamp(r, 16.0, 240.0));
}
}  // namespace

YCbCr bt709VideoRange(double r, double g, double b) {
  return {videoRangeValue(16 + 219 * (0.2126 * r + 0.7152 * g + 0.0722 * b)),
          videoRangeValue(128 + 224 * (-0.1146 * r - 0.3854 * g + 0.5 * b)),
          videoRangeValue(128 + 224 * (0.5 * r - 0.4542 * g - 0.0458 * b))};
}

NV12Frame NV12Frame::crop(int x, int y0, int w, int h) const {
  x = std::clamp(x & ~1, 0, width);
  y0 = std::clamp(y0 & ~1, 0, height);
  w = std::clamp(w, 0, width - x);
  h = std::clamp(h, 0, height - y0);
  NV12Frame f = *this;
  f.y = y + static_cast<ptrdiff_t>(y0) * strideY + x;
  f.uv = uv + static_cast<ptrdiff_t>(y0 / 2) * strideUV + x;
  f.width = w;
  f.height = h;
  return f;
}

NV12Frame NV12Frame::of(const platform::PixelBuffer& buffer) {
  if (buffer.planeCount() != 2) return {};
  const auto fmt = buffer.format();
  if (fmt != platform::PixelFormat::nv12VideoRange && fmt != platform::PixelFormat::nv12FullRange) return {};
  const auto luma = buffer.plane(0);
  const auto chroma = buffer.plane(1);
  return {luma.data, static_cast<int>(luma.bytesPerRow), chroma.data, static_cast<int>(chroma.bytesPerRow),
          buffer.width(), buffer.height()};
}

}  // namespace quarzadel
