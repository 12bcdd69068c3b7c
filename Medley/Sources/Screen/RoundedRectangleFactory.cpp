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

AlphaPlanesRef RoundedRectangleFactory::makeMask(const ScreenSize& size, double cornerRadius) {
  const std::string k = key(size, cornerRadius);
  if (auto it = imageBuffers_.find(k); it != imageBuffers_.end()) return it->second;
  if (!std::isfinite(size.width) || !std::isfinite(size.height)) return nullptr;
  const int w = static_cast<int>(std::lround(size.width)), h = static_cast<int>(std::lround(size.height));
  if (w <= 0 || h <= 0 || w > 16384 || h > 16384) return nullptr;
  const double r = std::clamp(static_cast<double>(static_cast<float>(cornerRadius)), 0.0, std::min(w, h) * 0.5);
  std::vector<uint8_t> luma(static_cast<size_t>(w) * h, 255);
  // Only the four corner squares hold anything but full coverage.
  const int rr = static_cast<int>(std::ceil(r));
  for (int y = 0; y < h; ++y) {
    const double cy = y + 0.5;
    const double dy = cy < r ? r - cy : (cy > h - r ? cy - (h - r) : 0);
    if (dy == 0) continue;
    for (int x = 0; x < w; ++x) {
      if (x >= rr && x < w - rr) continue;
      const double cx = x + 0.5;
      const double dx = cx < r ? r - cx : (cx > w - r ? cx - (w - r) : 0);
      if (dx == 0) continue;
      const double coverage = std::clamp(r - std::sqrt(dx * dx + dy * dy) + 0.5, 0.0, 1.0);
      luma[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(std::lround(coverage * 255));
    }
  }
  AlphaPlanesRef mask = AlphaPlanes::fromLuma(w, h, std::move(luma));
  imageBuffers_.emplace(k, mask);
  return mask;
}

}  // namespace medley
