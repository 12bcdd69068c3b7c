#include "Medley/Sources/Screen/PreviewGeometry.h"

#include <algorithm>

namespace medley {

PreviewPlacement placePreview(const LayerVideoGravity& gravity, double dw, double dh, double iw, double ih) {
  PreviewPlacement p;
  if (!(iw > 0) || !(ih > 0)) return p;
  if (gravity == layerVideoGravity::resize) {
    p.sx = dw / iw;
    p.sy = dh / ih;
  } else if (gravity == layerVideoGravity::resizeAspect || gravity == layerVideoGravity::resizeAspectFill) {
    const double s = gravity == layerVideoGravity::resizeAspect ? std::min(dw / iw, dh / ih) : std::max(dw / iw, dh / ih);
    p.sx = p.sy = s;
    p.tx = (dw - iw * s) / s / 2;
    p.ty = (dh - ih * s) / s / 2;
  }
  return p;
}

}  // namespace medley
