#pragma once
// Where a preview puts a picture of iw x ih in a drawable of dw x dh for a
// gravity: scale (sx, sy) and a translation (tx, ty) in picture units applied
// before the scale, so that the picture lands at (tx x sx, ty x sy).
#include "Medley/Sources/Extension/VideoGravityExtensions.h"
#include "Medley/Sources/Screen/ScreenGeometry.h"

namespace medley {

struct PreviewPlacement {
  double sx = 0, sy = 0, tx = 0, ty = 0;
  // The picture's rectangle in the drawable (top-left based; may reach outside it).
  ScreenRect rect(double iw, double ih) const { return {tx * sx, ty * sy, iw * sx, ih * sy}; }
  friend bool operator==(const PreviewPlacement&, const PreviewPlacement&) = default;
};

// Stretch fills the drawable; aspect fit centres between bars; aspect fill
// centres and cuts the overhang equally; any other gravity draws nothing (scale 0).
PreviewPlacement placePreview(const LayerVideoGravity& gravity, double dw, double dh, double iw, double ih);

}  // namespace medley
