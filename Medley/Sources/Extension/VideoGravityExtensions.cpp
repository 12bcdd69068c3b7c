#include "Medley/Sources/Extension/VideoGravityExtensions.h"

#include <algorithm>

namespace medley {

ScaleTransform scale(const LayerVideoGravity& gravity, PictureSize target, PictureSize content) {
  ScaleTransform t;
  const double x = target.width / content.width;
  const double y = target.height / content.height;
  if (gravity == layerVideoGravity::resize) {
    t.a = x;
    t.d = y;
  } else if (gravity == layerVideoGravity::resizeAspect) {
    t.a = t.d = std::min(y, x);
  } else if (gravity == layerVideoGravity::resizeAspectFill) {
    t.a = t.d = std::max(y, x);
  }
  return t;
}

}  // namespace medley
