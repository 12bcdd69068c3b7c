#include "Medley/Sources/Screen/RoundedRectangleFactory.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace medley {

std::string shortestDecimalText(double value) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  std::string s(buf, r.ptr);
  if (std::isfinite(value) && s.find_first_of(".e") == std::string::npos) s += ".0";
  return s;
}

std::string RoundedRectangleFactory::key(const ScreenSize& size, double cornerRadius) {
  return shortestDecimalText(size.width) + ":" + shortestDecimalText(size.height) + ":" +
         shortestDecimalText(cornerRadius);
}

namespace {

// Coverage of the window (x0, y0, ww, wh) of a w x h rounded rectangle.
AlphaPlanesRef coverage(long w, long h, double cornerRadius, long x0, long y0, int ww, int wh) {
  const double r = std::clamp(static_cast<double>(static_cast<float>(cornerRadius)), 0.0, std::min(w, h) * 0.5);
  std::vector<uint8_t> luma(static_cast<size_t>(ww) * wh, 255);
  // Only the four corner squares hold anything but full coverage.
  const long rr = static_cast<long>(std::ceil(r));
  for (int j = 0; j < wh; ++j) {
    const double cy = y0 + j + 0.5;
    const double dy = cy < r ? r - cy : (cy > h - r ? cy - (h - r) : 0);
    if (dy == 0) continue;
    for (int i = 0; i < ww; ++i) {
      const long x = x0 + i;
      if (x >= rr && x < w - rr) continue;
      const double cx = x + 0.5;
      const double dx = cx < r ? r - cx : (cx > w - r ? cx - (w - r) : 0);
      if (dx == 0) continue;
      const double c = std::clamp(r - std::sqrt(dx * dx + dy * dy) + 0.5, 0.0, 1.0);
      luma[static_cast<size_t>(j) * ww + i] = static_cast<uint8_t>(std::lround(c * 255));
    }
  }
  return AlphaPlanes::fromLuma(ww, wh, std::move(luma));
}

bool wholeSamples(double v, long limit, long& out) {
  if (!std::isfinite(v) || v <= 0 || v > limit) return false;
  out = std::lround(v);
  return out > 0;
}

}  // namespace

AlphaPlanesRef RoundedRectangleFactory::makeMask(const ScreenSize& size, double cornerRadius) {
  const std::string k = key(size, cornerRadius);
  if (auto it = imageBuffers_.find(k); it != imageBuffers_.end()) return it->second;
  long w = 0, h = 0;
  if (!wholeSamples(size.width, 16384, w) || !wholeSamples(size.height, 16384, h)) return nullptr;
  AlphaPlanesRef mask = coverage(w, h, cornerRadius, 0, 0, static_cast<int>(w), static_cast<int>(h));
  imageBuffers_.emplace(k, mask);
  return mask;
}

AlphaPlanesRef RoundedRectangleFactory::makeMask(const ScreenSize& size, double cornerRadius, const ScreenRect& window) {
  long w = 0, h = 0, ww = 0, wh = 0;
  if (!wholeSamples(size.width, 1L << 40, w) || !wholeSamples(size.height, 1L << 40, h)) return nullptr;
  if (!wholeSamples(window.width, 16384, ww) || !wholeSamples(window.height, 16384, wh)) return nullptr;
  if (!std::isfinite(window.x) || !std::isfinite(window.y)) return nullptr;
  return coverage(w, h, cornerRadius, std::lround(window.x), std::lround(window.y), static_cast<int>(ww),
                  static_cast<int>(wh));
}

}  // namespace medley
