#pragma once
// Rounded-rectangle coverage masks, made once per size and radius and kept.
#include <map>
#include <string>

#include "Medley/Sources/Screen/AlphaPlanes.h"
#include "Medley/Sources/Screen/ScreenGeometry.h"

namespace medley {

class RoundedRectangleFactory {
 public:
  // A mask of the size rounded to whole samples, with anti-aliased corners of
  // `cornerRadius` (at most half the shorter side); none for an empty size.
  AlphaPlanesRef makeMask(const ScreenSize& size, double cornerRadius);
  // Only the `window` part of such a mask (for a rectangle larger than the
  // frame); not kept.
  AlphaPlanesRef makeMask(const ScreenSize& size, double cornerRadius, const ScreenRect& window);

  // "1280.0:720.0:8.0": the three values' shortest round-trip texts.
  static std::string key(const ScreenSize& size, double cornerRadius);
  size_t count() const { return imageBuffers_.size(); }

 private:
  std::map<std::string, AlphaPlanesRef> imageBuffers_;
};

// The shortest text that reads back as the same double, with ".0" on whole numbers.
std::string shortestDecimalText(double value);

}  // namespace medley
