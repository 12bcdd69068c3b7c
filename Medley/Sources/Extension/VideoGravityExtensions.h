#pragma once
// The scale that fits a picture of one size into another for a layer gravity.
#include <string>

namespace medley {

using LayerVideoGravity = std::string;
namespace layerVideoGravity {
inline const LayerVideoGravity resize = "AVLayerVideoGravityResize";
inline const LayerVideoGravity resizeAspect = "AVLayerVideoGravityResizeAspect";
inline const LayerVideoGravity resizeAspectFill = "AVLayerVideoGravityResizeAspectFill";
}  // namespace layerVideoGravity

struct PictureSize {
  double width = 0;
  double height = 0;
};

// A scale-only affine transform (a = x scale, d = y scale).
struct ScaleTransform {
  double a = 1;
  double b = 0;
  double c = 0;
  double d = 1;
  double tx = 0;
  double ty = 0;
  friend bool operator==(const ScaleTransform&, const ScaleTransform&) = default;
};

// Resize stretches to the target; aspect scales by the smaller ratio, aspect
// fill by the larger; any other gravity leaves the picture at scale 1.
ScaleTransform scale(const LayerVideoGravity& gravity, PictureSize target, PictureSize content);

}  // namespace medley
