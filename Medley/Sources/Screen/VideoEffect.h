#pragma once
// One picture operation in a video object's effect chain; identified by object identity.
#include "Medley/Sources/Screen/ScreenImage.h"

namespace medley {

class VideoEffect {
 public:
  virtual ~VideoEffect() = default;
  virtual ScreenImage apply(const ScreenImage& image) = 0;
};

}  // namespace medley
