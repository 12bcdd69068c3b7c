#pragma once
// Keys out a colour: samples whose chroma lies near the key colour's become
// transparent, with a soft edge between. The coverage of every (Cb, Cr) pair
// is looked up in a table made once per key colour. Usable as a video effect.
#include <array>
#include <cstdint>
#include <memory>

#include "Medley/Sources/Screen/ScreenGeometry.h"
#include "Medley/Sources/Screen/VideoEffect.h"

namespace medley {

class ChromaKeyProcessor final : public VideoEffect {
 public:
  // Chroma distances (in 8-bit video-range steps) fully keyed out, and over which coverage returns.
  explicit ChromaKeyProcessor(const ScreenColor& keyColor, double threshold = 24, double softness = 16);

  const ScreenColor& keyColor() const { return keyColor_; }
  // Coverage (0...255) of a chroma pair.
  uint8_t coverage(uint8_t cb, uint8_t cr) const { return (*table_)[cb * 256 + cr]; }

  // The picture made and keyed; pictures that cannot be made are returned unchanged.
  ScreenImage apply(const ScreenImage& image) override;

 private:
  ScreenColor keyColor_;
  std::unique_ptr<std::array<uint8_t, 256 * 256>> table_;
};

}  // namespace medley
