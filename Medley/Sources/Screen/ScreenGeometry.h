#pragma once
// Sizes, rectangles, insets and colours of the screen tree. Everything is in
// Doubles and top-left based (y grows downwards); nothing is rounded here.
#include <algorithm>
#include <cmath>

namespace medley {

struct ScreenSize {
  double width = 0;
  double height = 0;
  friend bool operator==(const ScreenSize&, const ScreenSize&) = default;
};

struct ScreenRect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  ScreenSize size() const { return {width, height}; }
  bool isEmpty() const { return !(width > 0) || !(height > 0); }
  // The common part; an empty rectangle at the origin when there is none.
  ScreenRect intersection(const ScreenRect& o) const {
    const double x0 = std::max(x, o.x), y0 = std::max(y, o.y);
    const double x1 = std::min(x + width, o.x + o.width), y1 = std::min(y + height, o.y + o.height);
    if (!(x1 > x0) || !(y1 > y0)) return {};
    return {x0, y0, x1 - x0, y1 - y0};
  }
  friend bool operator==(const ScreenRect&, const ScreenRect&) = default;
};

struct ScreenEdgeInsets {
  double top = 0;
  double left = 0;
  double bottom = 0;
  double right = 0;
  friend bool operator==(const ScreenEdgeInsets&, const ScreenEdgeInsets&) = default;
};

// Gamma-encoded RGB with straight alpha, each 0...1.
struct ScreenColor {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;
  static constexpr ScreenColor black() { return {0, 0, 0, 1}; }
  static constexpr ScreenColor white() { return {1, 1, 1, 1}; }
  static constexpr ScreenColor clear() { return {0, 0, 0, 0}; }
  friend bool operator==(const ScreenColor&, const ScreenColor&) = default;
};

}  // namespace medley
