#include "Medley/Sources/Screen/AlphaPlanes.h"

namespace medley {
namespace {

// The longest run of 255 in the row; blending covers the rest.
AlphaPlanes::Run opaqueRun(const uint8_t* row, int n) {
  AlphaPlanes::Run best;
  int i = 0;
  while (i < n) {
    while (i < n && row[i] != 255) ++i;
    const int begin = i;
    while (i < n && row[i] == 255) ++i;
    if (i - begin > best.end - best.begin) best = {begin, i};
  }
  return best;
}

}  // namespace

std::shared_ptr<AlphaPlanes> AlphaPlanes::fromLuma(int width, int height, std::vector<uint8_t> luma) {
  auto p = std::make_shared<AlphaPlanes>();
  p->width = width;
  p->height = height;
  p->luma = std::move(luma);
  const int cw = p->chromaWidth(), ch = p->chromaHeight();
  p->chroma.resize(static_cast<size_t>(cw) * ch);
  for (int cy = 0; cy < ch; ++cy) {
    const uint8_t* r0 = &p->luma[static_cast<size_t>(2 * cy) * width];
    const uint8_t* r1 = 2 * cy + 1 < height ? r0 + width : r0;
    uint8_t* out = &p->chroma[static_cast<size_t>(cy) * cw];
    for (int cx = 0; cx < cw; ++cx) {
      const int x0 = 2 * cx, x1 = x0 + 1 < width ? x0 + 1 : x0;
      out[cx] = static_cast<uint8_t>((r0[x0] + r0[x1] + r1[x0] + r1[x1] + 2) / 4);
    }
  }
  p->lumaRuns.resize(height);
  for (int y = 0; y < height; ++y) p->lumaRuns[y] = opaqueRun(&p->luma[static_cast<size_t>(y) * width], width);
  p->chromaRuns.resize(ch);
  for (int y = 0; y < ch; ++y) p->chromaRuns[y] = opaqueRun(&p->chroma[static_cast<size_t>(y) * cw], cw);
  return p;
}

std::shared_ptr<AlphaPlanes> AlphaPlanes::product(const AlphaPlanes& a, const AlphaPlanes& b) {
  std::vector<uint8_t> luma(a.luma.size());
  for (size_t i = 0; i < luma.size(); ++i) luma[i] = static_cast<uint8_t>((a.luma[i] * b.luma[i] + 127) / 255);
  return fromLuma(a.width, a.height, std::move(luma));
}

}  // namespace medley
