#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "Quarzadel/Program/NV12Ops.h"

namespace quarzadel {
namespace {

struct Picture {
  Picture(int width, int height)
      : w(width), h(height), y(static_cast<size_t>(w) * h), uv(static_cast<size_t>(uvStride()) * ((h + 1) / 2)) {}
  NV12Frame frame() { return NV12Frame{y.data(), w, uv.data(), uvStride(), w, h}; }
  int uvStride() const { return (w + 1) / 2 * 2 + 6; }
  int w, h;
  std::vector<uint8_t> y, uv;
};

// The largest and mean difference over both planes' samples.
struct Difference {
  int max = 0;
  double mean = 0;
};

Difference difference(Picture& a, Picture& b) {
  Difference d;
  long count = 0;
  auto add = [&](const uint8_t* p, const uint8_t* q, int n) {
    for (int i = 0; i < n; ++i) {
      const int v = std::abs(p[i] - q[i]);
      d.max = std::max(d.max, v);
      d.mean += v;
      ++count;
    }
  };
  const NV12Frame fa = a.frame(), fb = b.frame();
  for (int row = 0; row < fa.height; ++row) add(fa.y + row * fa.strideY, fb.y + row * fb.strideY, fa.width);
  for (int row = 0; row < fa.chromaHeight(); ++row)
    add(fa.uv + row * fa.strideUV, fb.uv + row * fb.strideUV, fa.chromaWidth() * 2);
  d.mean /= static_cast<double>(count);
  return d;
}

TEST(Blur, AWideBlurAtHalfSizeLooksAsTheFullSizeOneOnSharpDetail) {
  // The blurred fill's size, and an odd one. Extreme blocks with a camera's
  // grain and a hard step: what halving could shift or smear, at the edges too.
  for (auto [w, h] : {std::pair{480, 270}, {201, 117}}) {
    Picture full(w, h);
    std::srand(static_cast<unsigned>(w));
    auto grain = [] { return std::rand() % 17 - 8; };
    const NV12Frame f = full.frame();
    for (int row = 0; row < h; ++row)
      for (int x = 0; x < w; ++x)
        f.y[row * f.strideY + x] =
            static_cast<uint8_t>(x > w * 2 / 3 ? 235 : ((x / 8 + row / 8) % 2 ? 200 : 30) + grain());
    for (int row = 0; row < f.chromaHeight(); ++row)
      for (int x = 0; x < f.chromaWidth() * 2; ++x)
        f.uv[row * f.strideUV + x] = static_cast<uint8_t>(x % 2 ? 128 + 3 * grain() : (row / 4) % 2 ? 230 : 26);
    Picture half = full;
    nv12::Blur().applyFullSize(full.frame(), 12);
    nv12::Blur().apply(half.frame(), 12);
    const Difference d = difference(full, half);
    SCOPED_TRACE(::testing::Message() << w << "x" << h);
    EXPECT_LE(d.max, 8);
    EXPECT_LT(d.mean, 0.5);
  }
}

TEST(Blur, FlatPicturesStayFlatAtEverySizeWithTheToneApplied) {
  const auto tone = nv12::ToneTable::colorControls(-0.12, 0.9);
  for (double sigma : {3.0, 12.0})
    for (auto [w, h] : {std::pair{480, 270}, {33, 17}, {4, 4}, {3, 2}}) {
      Picture p(w, h);
      const NV12Frame f = p.frame();
      std::fill(p.y.begin(), p.y.end(), 150);
      for (size_t i = 0; i < p.uv.size(); ++i) p.uv[i] = i % 2 ? 90 : 200;  // the stride is even
      nv12::Blur().apply(f, sigma, &tone);
      SCOPED_TRACE(::testing::Message() << w << "x" << h << " sigma " << sigma);
      for (int row = 0; row < h; ++row)
        for (int x = 0; x < w; ++x) ASSERT_EQ(f.y[row * f.strideY + x], tone.luma[150]) << x << "," << row;
      for (int row = 0; row < f.chromaHeight(); ++row)
        for (int x = 0; x < f.chromaWidth(); ++x) {
          ASSERT_EQ(f.uv[row * f.strideUV + 2 * x], tone.chroma[200]) << x << "," << row;
          ASSERT_EQ(f.uv[row * f.strideUV + 2 * x + 1], tone.chroma[90]) << x << "," << row;
        }
    }
}

}  // namespace
}  // namespace quarzadel
