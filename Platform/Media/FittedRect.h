#pragma once
// Where a picture of one size goes inside a frame of another so that it shows
// whole and undistorted: scaled to touch two opposite sides, centred, with the
// rest left over on the others. In whole pixels (integer T) the side that
// fills is exact and the other rounds to the nearest pixel, never below one;
// in fractional units (floating T) both are exact.
#include <algorithm>
#include <cstdint>
#include <type_traits>

namespace platform {

template <typename T>
struct FittedRect {
  static_assert(std::is_arithmetic_v<T>);
  T x = 0;
  T y = 0;
  T width = 0;
  T height = 0;
  bool operator==(const FittedRect&) const = default;

  // Empty (or unreadable) sizes give an empty rectangle at the origin.
  static FittedRect of(T sourceWidth, T sourceHeight, T frameWidth, T frameHeight) {
    if (!(sourceWidth > 0) || !(sourceHeight > 0) || !(frameWidth > 0) || !(frameHeight > 0)) return {};
    // Cross-multiplied, so whole pixels compare without rounding or overflow.
    using Wide = std::conditional_t<std::is_integral_v<T>, int64_t, T>;
    const Wide sw = sourceWidth, sh = sourceHeight, fw = frameWidth, fh = frameHeight;
    T width = frameWidth, height = frameHeight;
    if (sw * fh > sh * fw) height = scaled(sh, fw, sw, fh);
    else if (sw * fh < sh * fw) width = scaled(sw, fh, sh, fw);
    return {(frameWidth - width) / 2, (frameHeight - height) / 2, width, height};
  }

 private:
  // side * fill / by, within 1...limit in whole pixels.
  template <typename Wide>
  static T scaled(Wide side, Wide fill, Wide by, Wide limit) {
    if constexpr (std::is_integral_v<T>) return static_cast<T>(std::clamp<Wide>((side * fill + by / 2) / by, 1, limit));
    else return side * fill / by;
  }
};

}  // namespace platform
