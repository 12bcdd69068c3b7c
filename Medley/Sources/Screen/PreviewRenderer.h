#pragma once
// Draws one picture into a preview surface: the drawable cleared to a colour,
// the picture (through its effects) placed by the gravity, optionally mirrored.
// Shared by both preview views; keeps its drawable between calls.
#include <memory>
#include <vector>

#include "Medley/Sources/Extension/VideoGravityExtensions.h"
#include "Medley/Sources/Screen/PreviewSurface.h"
#include "Medley/Sources/Screen/ScreenGeometry.h"
#include "Medley/Sources/Screen/VideoEffect.h"

namespace medley {

class PreviewRenderer {
 public:
  // `picture` may be none (the cleared drawable is shown) or bi-planar 4:2:0.
  // False when nothing could be shown (the surface refused the drawable).
  bool present(PreviewSurface& surface, const platform::PixelBufferRef& picture, const LayerVideoGravity& gravity,
               bool mirrored, const std::vector<std::shared_ptr<VideoEffect>>& effects = {},
               const ScreenColor& background = ScreenColor::black());

 private:
  platform::PixelBufferRef canvas_;  // 420v, the drawable's size
};

}  // namespace medley
