// The per-sample loops below are written to vectorise; the default optimisation
// level would leave most of them scalar.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("O3")
#endif
#include "Platform/Media/PixelConversion.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace platform {

namespace {

uint8_t clampByte(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

}  // namespace

void convertBGRAToBT709NV12(const uint8_t* bgra, int bgraStride, int width, int height, uint8_t* y, int strideY,
                            uint8_t* uv, int strideUV) {
  if (bgra == nullptr || y == nullptr || uv == nullptr || width <= 0 || height <= 0) return;
  const int w = width, h = height;
  // Fixed point, 16 fractional bits: video-range scale folded into the weights.
  constexpr double ys = 219.0 / 255.0, cs = 224.0 / 255.0;
  const int yr = static_cast<int>(std::lround(0.2126 * ys * 65536)), yg = static_cast<int>(std::lround(0.7152 * ys * 65536)),
            yb = static_cast<int>(std::lround(0.0722 * ys * 65536));
  const int ur = static_cast<int>(std::lround(-0.1146 * cs * 65536)), ug = static_cast<int>(std::lround(-0.3854 * cs * 65536)),
            ub = static_cast<int>(std::lround(0.5 * cs * 65536));
  const int vr = static_cast<int>(std::lround(0.5 * cs * 65536)), vg = static_cast<int>(std::lround(-0.4542 * cs * 65536)),
            vb = static_cast<int>(std::lround(-0.0458 * cs * 65536));
#if defined(__SSE2__)
  // Luma weights are even: halved, they fit the 16-bit multiply-add, and the
  // result is the same to the bit.
  const bool simd = ((yr | yg | yb) & 1) == 0;
  const __m128i zero = _mm_setzero_si128();
  const __m128i yWeights = _mm_setr_epi16(static_cast<short>(yb / 2), static_cast<short>(yg / 2),
                                          static_cast<short>(yr / 2), 0, static_cast<short>(yb / 2),
                                          static_cast<short>(yg / 2), static_cast<short>(yr / 2), 0);
  const __m128i uWeights = _mm_setr_epi16(static_cast<short>(ub), static_cast<short>(ug), static_cast<short>(ur), 0,
                                          static_cast<short>(ub), static_cast<short>(ug), static_cast<short>(ur), 0);
  const __m128i vWeights = _mm_setr_epi16(static_cast<short>(vb), static_cast<short>(vg), static_cast<short>(vr), 0,
                                          static_cast<short>(vb), static_cast<short>(vg), static_cast<short>(vr), 0);
  // Per pixel (two 32-bit lanes each) the sum of both lanes, for four pixels.
  const auto pairSums = [](__m128i lo, __m128i hi) {
    const __m128i a = _mm_shuffle_epi32(_mm_add_epi32(lo, _mm_srli_epi64(lo, 32)), _MM_SHUFFLE(3, 1, 2, 0));
    const __m128i b = _mm_shuffle_epi32(_mm_add_epi32(hi, _mm_srli_epi64(hi, 32)), _MM_SHUFFLE(3, 1, 2, 0));
    return _mm_unpacklo_epi64(a, b);
  };
#endif
  for (int row = 0; row < h; ++row) {
    const uint8_t* s = bgra + static_cast<ptrdiff_t>(row) * bgraStride;
    uint8_t* d = y + static_cast<ptrdiff_t>(row) * strideY;
    int x = 0;
#if defined(__SSE2__)
    if (simd) {
      const __m128i round = _mm_set1_epi32(1 << 14), offset = _mm_set1_epi16(16);
      for (; x + 8 <= w; x += 8) {
        const __m128i p0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4 * x));
        const __m128i p1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4 * x + 16));
        const __m128i y0 = pairSums(_mm_madd_epi16(_mm_unpacklo_epi8(p0, zero), yWeights),
                                    _mm_madd_epi16(_mm_unpackhi_epi8(p0, zero), yWeights));
        const __m128i y1 = pairSums(_mm_madd_epi16(_mm_unpacklo_epi8(p1, zero), yWeights),
                                    _mm_madd_epi16(_mm_unpackhi_epi8(p1, zero), yWeights));
        const __m128i words = _mm_add_epi16(_mm_packs_epi32(_mm_srli_epi32(_mm_add_epi32(y0, round), 15),
                                                            _mm_srli_epi32(_mm_add_epi32(y1, round), 15)),
                                            offset);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(d + x), _mm_packus_epi16(words, zero));
      }
    }
#endif
    for (; x < w; ++x) {
      const int b = s[4 * x], g = s[4 * x + 1], r = s[4 * x + 2];
      d[x] = static_cast<uint8_t>(16 + ((yr * r + yg * g + yb * b + 32768) >> 16));
    }
  }
  for (int row = 0; row < (h + 1) / 2; ++row) {
    const uint8_t* s0 = bgra + static_cast<ptrdiff_t>(2 * row) * bgraStride;
    const uint8_t* s1 = 2 * row + 1 < h ? s0 + bgraStride : s0;
    uint8_t* d = uv + static_cast<ptrdiff_t>(row) * strideUV;
    int x = 0;
#if defined(__SSE2__)
    // Four pixels of each row give two chroma samples; only whole 2 x 2 blocks here.
    const __m128i round = _mm_set1_epi32(1 << 17), offset = _mm_set1_epi32(128);
    for (; 2 * x + 4 <= w; x += 2) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s0 + 8 * x));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s1 + 8 * x));
      const __m128i lo = _mm_add_epi16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero));
      const __m128i hi = _mm_add_epi16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero));
      // The B, G, R sums of each 2 x 2 block, one block per half.
      const __m128i sums = _mm_unpacklo_epi64(_mm_add_epi16(lo, _mm_srli_si128(lo, 8)),
                                              _mm_add_epi16(hi, _mm_srli_si128(hi, 8)));
      __m128i u = _mm_madd_epi16(sums, uWeights);
      __m128i v = _mm_madd_epi16(sums, vWeights);
      u = _mm_add_epi32(u, _mm_srli_epi64(u, 32));  // lanes 0 and 2
      v = _mm_add_epi32(v, _mm_slli_epi64(v, 32));  // lanes 1 and 3
      u = _mm_add_epi32(_mm_srai_epi32(_mm_add_epi32(u, round), 18), offset);
      v = _mm_add_epi32(_mm_srai_epi32(_mm_add_epi32(v, round), 18), offset);
      const __m128i evenLanes = _mm_set_epi32(0, -1, 0, -1);
      const __m128i cbcr = _mm_or_si128(_mm_and_si128(evenLanes, u), _mm_andnot_si128(evenLanes, v));
      const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(cbcr, zero), zero);
      const int word = _mm_cvtsi128_si32(bytes);
      std::memcpy(d + 2 * x, &word, 4);
    }
#endif
    for (; x < (w + 1) / 2; ++x) {
      const int x0 = 2 * x, x1 = std::min(2 * x + 1, w - 1);
      const int b = s0[4 * x0] + s0[4 * x1] + s1[4 * x0] + s1[4 * x1];
      const int g = s0[4 * x0 + 1] + s0[4 * x1 + 1] + s1[4 * x0 + 1] + s1[4 * x1 + 1];
      const int r = s0[4 * x0 + 2] + s0[4 * x1 + 2] + s1[4 * x0 + 2] + s1[4 * x1 + 2];
      // Sums of four samples: two more fractional bits.
      d[2 * x] = clampByte(128 + ((ur * r + ug * g + ub * b + (1 << 17)) >> 18));
      d[2 * x + 1] = clampByte(128 + ((vr * r + vg * g + vb * b + (1 << 17)) >> 18));
    }
  }
}

void convertP010ToNV12(const uint16_t* y, int strideY, const uint16_t* uv, int strideUV, int width, int height,
                       uint8_t* dstY, int dstStrideY, uint8_t* dstUV, int dstStrideUV) {
  if (y == nullptr || uv == nullptr || dstY == nullptr || dstUV == nullptr || width <= 0 || height <= 0) return;
  for (int row = 0; row < height; ++row) {
    const auto* s = reinterpret_cast<const uint16_t*>(reinterpret_cast<const uint8_t*>(y) + static_cast<ptrdiff_t>(row) * strideY);
    uint8_t* d = dstY + static_cast<ptrdiff_t>(row) * dstStrideY;
    for (int x = 0; x < width; ++x) d[x] = static_cast<uint8_t>(s[x] >> 8);
  }
  const int chromaWidth = (width + 1) / 2, chromaHeight = (height + 1) / 2;
  for (int row = 0; row < chromaHeight; ++row) {
    const auto* s = reinterpret_cast<const uint16_t*>(reinterpret_cast<const uint8_t*>(uv) + static_cast<ptrdiff_t>(row) * strideUV);
    uint8_t* d = dstUV + static_cast<ptrdiff_t>(row) * dstStrideUV;
    for (int x = 0; x < chromaWidth * 2; ++x) d[x] = static_cast<uint8_t>(s[x] >> 8);
  }
}

}  // namespace platform
