// The per-sample loops below are written to vectorise; the default optimisation
// level would leave most of them scalar.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("O3")
#endif
#include "Quarzadel/Program/NV12Blur.h"

#include "Quarzadel/Program/NV12Support.h"

#include <libyuv/planar_functions.h>
#include <libyuv/rotate.h>
#include <libyuv/scale.h>

#include <algorithm>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>  // byte shuffles, used where the processor has them
#endif

namespace quarzadel::nv12 {

std::array<int, 3> Blur::boxRadii(double sigma) {
  constexpr int n = 3;
  if (!(sigma > 0)) return {0, 0, 0};
  const double wIdeal = std::sqrt(12 * sigma * sigma / n + 1);
  int wl = static_cast<int>(std::floor(wIdeal));
  if (wl % 2 == 0) --wl;
  const int wu = wl + 2;
  const double mIdeal = (12 * sigma * sigma - n * wl * wl - 4.0 * n * wl - 3.0 * n) / (-4.0 * wl - 4);
  const int m = static_cast<int>(std::lround(mIdeal));
  std::array<int, 3> radii{};
  for (int i = 0; i < n; ++i) radii[i] = ((i < m ? wl : wu) - 1) / 2;
  return radii;
}

namespace {

#if defined(__x86_64__)
// Sixteen outputs at a time from two rows of 32 bytes: neighbours (or, for
// interleaved chroma, samples two bytes apart, paired first by a shuffle) added
// as byte pairs; returns how many outputs were made.
__attribute__((target("ssse3"))) inline __m128i pairSums(const uint8_t* p, __m128i order) {
  return _mm_maddubs_epi16(_mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), order),
                           _mm_set1_epi8(1));
}

__attribute__((target("ssse3"))) int halveRowSSSE3(const uint8_t* r0, const uint8_t* r1, uint8_t* d, int outBytes,
                                                   int ch) {
  const __m128i two = _mm_set1_epi16(2);
  const __m128i order = ch == 1 ? _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15)
                                : _mm_setr_epi8(0, 2, 1, 3, 4, 6, 5, 7, 8, 10, 9, 11, 12, 14, 13, 15);
  int x = 0;
  for (; x + 16 <= outBytes; x += 16) {
    const uint8_t *a = r0 + 2 * x, *b = r1 + 2 * x;
    const __m128i lo = _mm_add_epi16(_mm_add_epi16(pairSums(a, order), pairSums(b, order)), two);
    const __m128i hi = _mm_add_epi16(_mm_add_epi16(pairSums(a + 16, order), pairSums(b + 16, order)), two);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + x), _mm_packus_epi16(_mm_srli_epi16(lo, 2), _mm_srli_epi16(hi, 2)));
  }
  return x;
}
#endif

// Each sample the rounded mean of a 2 x 2 block; an odd last row or column is
// paired with itself. One channel, or two interleaved.
void halvePlane(const uint8_t* src, int srcStride, int samples, int rows, uint8_t* dst, int dstStride, int ch) {
  const int outSamples = (samples + 1) / 2, outRows = (rows + 1) / 2, pairs = samples / 2;
  for (int y = 0; y < outRows; ++y) {
    const uint8_t* r0 = src + static_cast<ptrdiff_t>(2 * y) * srcStride;
    const uint8_t* r1 = 2 * y + 1 < rows ? r0 + srcStride : r0;
    uint8_t* d = dst + static_cast<ptrdiff_t>(y) * dstStride;
    int x = 0;
#if defined(__x86_64__)
    if (hasShuffles()) x = halveRowSSSE3(r0, r1, d, pairs * ch, ch);
#endif
    for (; x < pairs * ch; ++x) {
      const int at = 2 * x - x % ch;
      d[x] = static_cast<uint8_t>((r0[at] + r0[at + ch] + r1[at] + r1[at + ch] + 2) >> 2);
    }
    for (int c = 0; c < ch && pairs < outSamples; ++c) {
      const int at = 2 * pairs * ch + c;
      d[pairs * ch + c] = static_cast<uint8_t>((r0[at] + r1[at] + 1) >> 1);
    }
  }
}

}  // namespace

void Blur::applyFullSize(const NV12Frame& f, double sigma) {
  if (f.isEmpty() || !(sigma > 0)) return;
  blurPlane(f.y, f.strideY, f.width, f.height, 1, boxRadii(sigma), false);
  blurPlane(f.uv, f.strideUV, f.chromaWidth(), f.chromaHeight(), 2, boxRadii(sigma / 2), false);
}

Blur::Halved Blur::blurHalved(const NV12Frame& f, double sigma, const ToneTable* tone) {
  // Box-averaged down (centre-aligned; an odd last sample paired with itself),
  // chroma split into two planes while small.
  Halved p;
  p.w = (f.width + 1) / 2;
  p.h = (f.height + 1) / 2;
  p.cw = (f.chromaWidth() + 1) / 2;
  p.ch = (f.chromaHeight() + 1) / 2;
  p.yStride = aligned(p.w);
  p.cStride = aligned(p.cw);
  p.uvStride = aligned(2 * p.cw);
  const size_t yBytes = static_cast<size_t>(p.yStride) * p.h, cBytes = static_cast<size_t>(p.cStride) * p.ch;
  p.y = half_.get(yBytes + 2 * cBytes);
  p.u = p.y + yBytes;
  p.v = p.u + cBytes;
  p.uv = halfUV_.get(static_cast<size_t>(p.uvStride) * p.ch);
  halvePlane(f.y, f.strideY, f.width, f.height, p.y, p.yStride, 1);
  halvePlane(f.uv, f.strideUV, f.chromaWidth(), f.chromaHeight(), p.uv, p.uvStride, 2);
  libyuv::SplitUVPlane(p.uv, p.uvStride, p.u, p.cStride, p.v, p.cStride, p.cw, p.ch);

  const auto lumaRadii = boxRadii(sigma / 2), chromaRadii = boxRadii(sigma / 4);
  blurPlane(p.y, p.yStride, p.w, p.h, 1, lumaRadii, true);
  blurPlane(p.u, p.cStride, p.cw, p.ch, 1, chromaRadii, true);
  blurPlane(p.v, p.cStride, p.cw, p.ch, 1, chromaRadii, true);
  if (tone) {
    tonePlane(p.y, p.yStride, p.w, p.h, *tone, true);
    tonePlane(p.u, p.cStride, p.cw, p.ch, *tone, false);
    tonePlane(p.v, p.cStride, p.cw, p.ch, *tone, false);
  }
  return p;
}

void Blur::apply(const NV12Frame& f, double sigma, const ToneTable* tone) {
  if (f.isEmpty()) return;
  if (!(sigma >= kHalfSizeSigma) || f.width < 4 || f.height < 4) {
    applyFullSize(f, sigma);
    if (tone) nv12::apply(f, *tone);
    return;
  }
  // Enlarged back exactly twice (an odd last sample reaching half out), so
  // that nothing shifts.
  const Halved p = blurHalved(f, sigma, tone);
  const int cw = f.chromaWidth(), ch = f.chromaHeight(), wideStride = aligned(cw);
  const size_t wideBytes = static_cast<size_t>(wideStride) * ch;
  uint8_t* wideU = wide_.get(2 * wideBytes);
  uint8_t* wideV = wideU + wideBytes;
  libyuv::ScalePlane(p.y, p.yStride, p.w, p.h, f.y, f.strideY, f.width, f.height, libyuv::kFilterBilinear);
  libyuv::ScalePlane(p.u, p.cStride, p.cw, p.ch, wideU, wideStride, cw, ch, libyuv::kFilterBilinear);
  libyuv::ScalePlane(p.v, p.cStride, p.cw, p.ch, wideV, wideStride, cw, ch, libyuv::kFilterBilinear);
  libyuv::MergeUVPlane(wideU, wideStride, wideV, wideStride, f.uv, f.strideUV, cw, ch);
}

NV12Frame Blur::halfSize(const NV12Frame& f, double sigma, const ToneTable* tone) {
  if (f.isEmpty()) return {};
  const Halved p = blurHalved(f, sigma, tone);
  const NV12Frame out{p.y, p.yStride, p.uv, p.uvStride, p.w, p.h};
  libyuv::MergeUVPlane(p.u, p.cStride, p.v, p.cStride, out.uv, out.strideUV, p.cw, p.ch);
  return out;
}

namespace {

// One box pass down the columns, `src` to `dst`, with a running sum per byte
// column; rows beyond the edges repeat the edge row. 16-bit sums (radius at most
// 127) so that the loop vectorises eight or more columns at a time.
// One output row of a box pass: d = (acc + half) / box size, then acc += add - sub;
// returns how many columns were done.
int boxRowSSE2(uint16_t* acc, const uint8_t* add, const uint8_t* sub, uint8_t* d, int rowBytes, uint16_t half,
               uint16_t mul) {
  int x = 0;
#if defined(__SSE2__)
  // Eight columns at a time; the division by the box size is a 16-bit high multiply.
  const __m128i zero = _mm_setzero_si128(), halfv = _mm_set1_epi16(static_cast<short>(half)),
                mulv = _mm_set1_epi16(static_cast<short>(mul));
  for (; x + 8 <= rowBytes; x += 8) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(acc + x));
    const __m128i q = _mm_mulhi_epu16(_mm_add_epi16(a, halfv), mulv);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(d + x), _mm_packus_epi16(q, zero));
    const __m128i in = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(add + x)), zero);
    const __m128i out = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(sub + x)), zero);
    a = _mm_sub_epi16(_mm_add_epi16(a, in), out);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(acc + x), a);
  }
#endif
  return x;
}

#if defined(__x86_64__)
// The same, sixteen columns at a time.
__attribute__((target("avx2"))) int boxRowAVX2(uint16_t* acc, const uint8_t* add, const uint8_t* sub, uint8_t* d,
                                               int rowBytes, uint16_t half, uint16_t mul) {
  const __m256i halfv = _mm256_set1_epi16(static_cast<short>(half)), mulv = _mm256_set1_epi16(static_cast<short>(mul));
  int x = 0;
  for (; x + 16 <= rowBytes; x += 16) {
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(acc + x));
    const __m256i q = _mm256_mulhi_epu16(_mm256_add_epi16(a, halfv), mulv);
    // Packing works within each 128-bit half: the bytes wanted are the low 8 of each.
    const __m256i packed = _mm256_packus_epi16(q, q);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + x),
                     _mm256_castsi256_si128(_mm256_permute4x64_epi64(packed, 0x08)));
    const __m256i in = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(add + x)));
    const __m256i out = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(sub + x)));
    a = _mm256_sub_epi16(_mm256_add_epi16(a, in), out);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(acc + x), a);
  }
  return x;
}
#endif

int boxRow(uint16_t* acc, const uint8_t* add, const uint8_t* sub, uint8_t* d, int rowBytes, uint16_t half,
           uint16_t mul) {
#if defined(__x86_64__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) {
    const int x = boxRowAVX2(acc, add, sub, d, rowBytes, half, mul);
    return x + boxRowSSE2(acc + x, add + x, sub + x, d + x, rowBytes - x, half, mul);
  }
#endif
  return boxRowSSE2(acc, add, sub, d, rowBytes, half, mul);
}

void boxColumns(const uint8_t* src, int srcStride, uint8_t* dst, int dstStride, int rowBytes, int rows, int r,
                std::vector<uint16_t>& sums) {
  const uint16_t mul = static_cast<uint16_t>(65536 / (2 * r + 1));
  const uint16_t half = static_cast<uint16_t>(r);
  const int last = rows - 1;
  if (sums.size() < static_cast<size_t>(rowBytes)) sums.resize(rowBytes);
  uint16_t* __restrict acc = sums.data();
  auto rowPtr = [&](int i) { return src + static_cast<ptrdiff_t>(std::clamp(i, 0, last)) * srcStride; };
  // The first window: the edge row r + 1 times, then the r rows after it.
  const uint8_t* __restrict first = rowPtr(0);
  for (int x = 0; x < rowBytes; ++x) acc[x] = static_cast<uint16_t>(first[x] * (r + 1));
  for (int i = 1; i <= r; ++i) {
    const uint8_t* __restrict s = rowPtr(i);
    for (int x = 0; x < rowBytes; ++x) acc[x] = static_cast<uint16_t>(acc[x] + s[x]);
  }
  for (int row = 0; row < rows; ++row) {
    uint8_t* __restrict d = dst + static_cast<ptrdiff_t>(row) * dstStride;
    const uint8_t* __restrict add = rowPtr(row + r + 1);
    const uint8_t* __restrict sub = rowPtr(row - r);
    for (int x = boxRow(acc, add, sub, d, rowBytes, half, mul); x < rowBytes; ++x) {
      const uint16_t a = acc[x];
      const auto q = static_cast<uint16_t>((static_cast<uint32_t>(static_cast<uint16_t>(a + half)) * mul) >> 16);
      d[x] = static_cast<uint8_t>(q);
      acc[x] = static_cast<uint16_t>(a + add[x] - sub[x]);
    }
  }
}

}  // namespace

// Three column passes from `plane` ending in `out` (which may be `plane`).
void Blur::columnPasses(uint8_t* plane, int stride, uint8_t* out, int outStride, int rowBytes, int rows,
                        const std::array<int, 3>& radii, bool padded) {
  // Columns up to a whole number of 16 where the rows' padding may take them
  // (their values unused), rather than the last few one at a time.
  if (padded) rowBytes = (rowBytes + 15) & ~15;
  const int tmpStride = (rowBytes + 63) & ~63;
  uint8_t* a = tmpA_.get(static_cast<size_t>(tmpStride) * rows);
  uint8_t* b = tmpB_.get(static_cast<size_t>(tmpStride) * rows);
  auto radius = [&](int i) { return std::clamp(radii[i], 0, 127); };
  boxColumns(plane, stride, a, tmpStride, rowBytes, rows, radius(0), sums_);
  boxColumns(a, tmpStride, b, tmpStride, rowBytes, rows, radius(1), sums_);
  boxColumns(b, tmpStride, out, outStride, rowBytes, rows, radius(2), sums_);
}

void Blur::blurPlane(uint8_t* plane, int stride, int samples, int rows, int ch, const std::array<int, 3>& radii,
                     bool padded) {
  // Down the columns in place (byte columns of interleaved chroma are independent),
  // then across the rows as columns of the transposed plane.
  columnPasses(plane, stride, plane, stride, samples * ch, rows, radii, padded);
  const int tStride = (rows + 63) & ~63;
  const size_t tSize = static_cast<size_t>(tStride) * samples;
  uint8_t* t0 = transposed_.get(tSize * ch);
  uint8_t* t1 = t0 + tSize;
  if (ch == 1) {
    libyuv::TransposePlane(plane, stride, t0, tStride, samples, rows);
  } else {
    libyuv::SplitTransposeUV(plane, stride, t0, tStride, t1, tStride, samples, rows);
  }
  for (int c = 0; c < ch; ++c) {
    uint8_t* t = t0 + tSize * c;
    columnPasses(t, tStride, t, tStride, rows, samples, radii, true);
  }
  if (ch == 1) {
    libyuv::TransposePlane(t0, tStride, plane, stride, rows, samples);
  } else {
    const int pStride = (samples + 63) & ~63;
    uint8_t* u = back_.get(static_cast<size_t>(pStride) * rows * 2);
    uint8_t* v = u + static_cast<size_t>(pStride) * rows;
    libyuv::TransposePlane(t0, tStride, u, pStride, rows, samples);
    libyuv::TransposePlane(t1, tStride, v, pStride, rows, samples);
    libyuv::MergeUVPlane(u, pStride, v, pStride, plane, stride, samples, rows);
  }
}

}  // namespace quarzadel::nv12
