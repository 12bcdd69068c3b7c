#pragma once
// Coverage of a picture, 0 (transparent) to 255 (opaque): one sample per luma
// sample and one per chroma pair (the mean of its 2 x 2 block), with each
// row's fully opaque run so that compositing copies most rows instead of blending.
#include <cstdint>
#include <memory>
#include <vector>

namespace medley {

struct AlphaPlanes {
  struct Run {
    int begin = 0;  // [begin, end) is all 255; outside it samples are blended
    int end = 0;
  };
  int width = 0;
  int height = 0;
  std::vector<uint8_t> luma;    // width x height
  std::vector<uint8_t> chroma;  // chromaWidth x chromaHeight
  std::vector<Run> lumaRuns;
  std::vector<Run> chromaRuns;

  int chromaWidth() const { return (width + 1) / 2; }
  int chromaHeight() const { return (height + 1) / 2; }

  // From a filled luma plane: derives the chroma plane and the runs.
  static std::shared_ptr<AlphaPlanes> fromLuma(int width, int height, std::vector<uint8_t> luma);
  // Both coverages multiplied, sample by sample; sizes must match.
  static std::shared_ptr<AlphaPlanes> product(const AlphaPlanes& a, const AlphaPlanes& b);
};

using AlphaPlanesRef = std::shared_ptr<const AlphaPlanes>;

}  // namespace medley
