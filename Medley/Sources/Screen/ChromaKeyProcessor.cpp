#include "Medley/Sources/Screen/ChromaKeyProcessor.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace medley {

ChromaKeyProcessor::ChromaKeyProcessor(const ScreenColor& keyColor, double threshold, double softness)
    : keyColor_(keyColor), table_(std::make_unique<std::array<uint8_t, 256 * 256>>()) {
  // The key's chroma in BT.709 video range.
  const double r = keyColor.red * 255, g = keyColor.green * 255, b = keyColor.blue * 255;
  const double y = 0.2126 * r + 0.7152 * g + 0.0722 * b;
  const double kb = 128 + (b - y) / 1.8556 * 224 / 255, kr = 128 + (r - y) / 1.5748 * 224 / 255;
  for (int cb = 0; cb < 256; ++cb)
    for (int cr = 0; cr < 256; ++cr) {
      const double d = std::hypot(cb - kb, cr - kr);
      const double a = softness > 0 ? std::clamp((d - threshold) / softness, 0.0, 1.0) : (d > threshold ? 1.0 : 0.0);
      (*table_)[cb * 256 + cr] = static_cast<uint8_t>(std::lround(a * 255));
    }
}

ScreenImage ChromaKeyProcessor::apply(const ScreenImage& image) {
  const auto picture = image.render();
  if (!picture) return image;
  const int w = picture->width(), h = picture->height();
  const auto uv = picture->planes->plane(1);
  std::vector<uint8_t> luma(static_cast<size_t>(w) * h);
  for (int y = 0; y < h; ++y) {
    const uint8_t* c = uv.data + static_cast<size_t>(y / 2) * uv.bytesPerRow;
    uint8_t* a = &luma[static_cast<size_t>(y) * w];
    const uint8_t* prior = picture->alpha ? &picture->alpha->luma[static_cast<size_t>(y) * w] : nullptr;
    for (int x = 0; x < w; ++x) {
      const uint8_t k = coverage(c[2 * (x / 2)], c[2 * (x / 2) + 1]);
      a[x] = prior ? static_cast<uint8_t>((k * prior[x] + 127) / 255) : k;
    }
  }
  return ScreenImage(picture->planes).masked(AlphaPlanes::fromLuma(w, h, std::move(luma)));
}

}  // namespace medley
