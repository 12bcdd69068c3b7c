#include "Platform/Capture/Letterbox.h"

#include <algorithm>
#include <cstdint>

namespace platform {

Letterbox Letterbox::of(int sourceWidth, int sourceHeight, int frameWidth, int frameHeight) {
  if (sourceWidth <= 0 || sourceHeight <= 0 || frameWidth <= 0 || frameHeight <= 0) return {};
  // Compared in integers: the side that fills is exact, the other rounds to the nearest pixel.
  const int64_t sw = sourceWidth, sh = sourceHeight, fw = frameWidth, fh = frameHeight;
  int width = frameWidth, height = frameHeight;
  if (sw * fh > sh * fw) height = static_cast<int>(std::clamp<int64_t>((sh * fw + sw / 2) / sw, 1, fh));
  else if (sw * fh < sh * fw) width = static_cast<int>(std::clamp<int64_t>((sw * fh + sh / 2) / sh, 1, fw));
  return {(frameWidth - width) / 2, (frameHeight - height) / 2, width, height};
}

}  // namespace platform
