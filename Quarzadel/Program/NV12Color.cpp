// The per-sample loops below are written to vectorise; the default optimisation
// level would leave most of them scalar.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("O3")
#endif
#include "Quarzadel/Program/NV12Color.h"

#include "Platform/Media/PixelConversion.h"
#include "Quarzadel/Program/NV12Support.h"

#include <libyuv/planar_functions.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace quarzadel::nv12 {

namespace {

// Luma weights (Kr, Kb) of a YCbCr matrix.
struct Weights {
  double kr;
  double kb;
};

Weights weightsOf(platform::YCbCrMatrix m) {
  using M = platform::YCbCrMatrix;
  switch (m) {
    case M::itu_r_601_4: return {0.299, 0.114};
    case M::smpte_240m_1995: return {0.212, 0.087};
    case M::itu_r_2020: return {0.2627, 0.0593};
    case M::itu_r_709_2:
    case M::unspecified: break;
  }
  return {0.2126, 0.0722};
}

// Normalised YCbCr (Y 0...1, Cb/Cr -0.5...0.5) of one matrix to RGB and back.
using Mat3 = std::array<std::array<double, 3>, 3>;

Mat3 toYCbCr(Weights w) {
  const double kg = 1 - w.kr - w.kb;
  return {{{w.kr, kg, w.kb},
           {-w.kr / (2 * (1 - w.kb)), -kg / (2 * (1 - w.kb)), 0.5},
           {0.5, -kg / (2 * (1 - w.kr)), -w.kb / (2 * (1 - w.kr))}}};
}

Mat3 toRGB(Weights w) {
  const double kg = 1 - w.kr - w.kb;
  const double crR = 2 * (1 - w.kr);
  const double cbB = 2 * (1 - w.kb);
  return {{{1, 0, crR}, {1, -w.kb * cbB / kg, -w.kr * crR / kg}, {1, cbB, 0}}};
}

Mat3 multiply(const Mat3& a, const Mat3& b) {
  Mat3 r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) r[i][j] += a[i][k] * b[k][j];
  return r;
}

}  // namespace

void fill(const NV12Frame& dst, YCbCr color) {
  if (dst.isEmpty()) return;
  libyuv::SetPlane(dst.y, dst.strideY, dst.width, dst.height, color.y);
  uint8_t* first = dst.uv;
  for (int x = 0; x < dst.chromaWidth(); ++x) {
    first[2 * x] = color.cb;
    first[2 * x + 1] = color.cr;
  }
  for (int row = 1; row < dst.chromaHeight(); ++row)
    std::memcpy(dst.uv + static_cast<ptrdiff_t>(row) * dst.strideUV, first, dst.chromaWidth() * 2);
}

void convertBGRA(const uint8_t* bgra, int stride, int width, int height, const NV12Frame& dst) {
  if (bgra == nullptr || dst.isEmpty()) return;
  platform::convertBGRAToBT709NV12(bgra, stride, std::min(width, dst.width), std::min(height, dst.height), dst.y,
                                   dst.strideY, dst.uv, dst.strideUV);
}

void convertP010(const uint16_t* y, int strideY, const uint16_t* uv, int strideUV, const NV12Frame& dst) {
  if (dst.isEmpty()) return;
  platform::convertP010ToNV12(y, strideY, uv, strideUV, dst.width, dst.height, dst.y, dst.strideY, dst.uv, dst.strideUV);
}

platform::YCbCrMatrix effectiveMatrix(platform::YCbCrMatrix tagged, int height) {
  if (tagged != platform::YCbCrMatrix::unspecified) return tagged;
  return height < 720 ? platform::YCbCrMatrix::itu_r_601_4 : platform::YCbCrMatrix::itu_r_709_2;
}

bool needsConversion(platform::YCbCrMatrix matrix, bool fullRange) {
  return fullRange || matrix != platform::YCbCrMatrix::itu_r_709_2;
}

void convertToBT709(const NV12Frame& src, platform::YCbCrMatrix matrix, bool fullRange, const NV12Frame& dst) {
  if (src.isEmpty() || dst.isEmpty()) return;
  const Mat3 m = multiply(toYCbCr(weightsOf(platform::YCbCrMatrix::itu_r_709_2)), toRGB(weightsOf(matrix)));
  const double yOff = fullRange ? 0 : 16, yScale = fullRange ? 255 : 219, cScale = fullRange ? 255 : 224;
  // Tables in 1/16 steps of output code values: luma from Y, Cb and Cr; chroma from Cb and Cr.
  std::array<int, 256> yFromY, yFromCb, yFromCr, cbFromCb, cbFromCr, crFromCb, crFromCr;
  for (int v = 0; v < 256; ++v) {
    const double yn = (v - yOff) / yScale, cn = (v - 128) / cScale;
    yFromY[v] = static_cast<int>(std::lround(16 * (16 + 219 * m[0][0] * yn)));
    yFromCb[v] = static_cast<int>(std::lround(16 * 219 * m[0][1] * cn));
    yFromCr[v] = static_cast<int>(std::lround(16 * 219 * m[0][2] * cn));
    cbFromCb[v] = static_cast<int>(std::lround(16 * (128 + 224 * m[1][1] * cn)));
    cbFromCr[v] = static_cast<int>(std::lround(16 * 224 * m[1][2] * cn));
    crFromCb[v] = static_cast<int>(std::lround(16 * 224 * m[2][1] * cn));
    crFromCr[v] = static_cast<int>(std::lround(16 * (128 + 224 * m[2][2] * cn)));
  }
  const int w = std::min(src.width, dst.width), h = std::min(src.height, dst.height);
  for (int row = 0; row < h; ++row) {
    const uint8_t* sy = src.y + static_cast<ptrdiff_t>(row) * src.strideY;
    const uint8_t* suv = src.uv + static_cast<ptrdiff_t>(row / 2) * src.strideUV;
    uint8_t* dy = dst.y + static_cast<ptrdiff_t>(row) * dst.strideY;
    for (int x = 0; x < w; ++x) {
      const int cb = suv[x & ~1], cr = suv[(x & ~1) + 1];
      dy[x] = clampByte((yFromY[sy[x]] + yFromCb[cb] + yFromCr[cr] + 8) >> 4, 16, 235);
    }
  }
  for (int row = 0; row < (h + 1) / 2; ++row) {
    const uint8_t* s = src.uv + static_cast<ptrdiff_t>(row) * src.strideUV;
    uint8_t* d = dst.uv + static_cast<ptrdiff_t>(row) * dst.strideUV;
    for (int x = 0; x < (w + 1) / 2; ++x) {
      const int cb = s[2 * x], cr = s[2 * x + 1];
      d[2 * x] = clampByte((cbFromCb[cb] + cbFromCr[cr] + 8) >> 4, 16, 240);
      d[2 * x + 1] = clampByte((crFromCb[cb] + crFromCr[cr] + 8) >> 4, 16, 240);
    }
  }
}

}  // namespace quarzadel::nv12
