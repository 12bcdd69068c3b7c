// The per-sample loops below are written to vectorise; the default optimisation
// level would leave most of them scalar.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("O3")
#endif
#include "Quarzadel/Program/NV12Blend.h"

#include <libyuv/planar_functions.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>  // byte shuffles, used where the processor has them
#endif

namespace quarzadel::nv12 {

namespace {

#if defined(__x86_64__)
// Weights (256 - f, f) as unsigned bytes against samples made signed by
// flipping their top bit: the products' sum is exactly 32768 short, so a
// rounding high multiply by 128, (x + 128) >> 8, gives the result less 128,
// which signed packing keeps and flipping the top bit again restores. f must
// be 1...255. At 128 the blend is exactly (a + b + 1) >> 1, a byte average.
__attribute__((target("avx2"))) inline __m256i blendedAVX2(__m256i lo, __m256i hi, __m256i w) {
  const __m256i scale = _mm256_set1_epi16(128), top = _mm256_set1_epi8(static_cast<char>(0x80));
  return _mm256_xor_si256(_mm256_packs_epi16(_mm256_mulhrs_epi16(_mm256_maddubs_epi16(w, lo), scale),
                                             _mm256_mulhrs_epi16(_mm256_maddubs_epi16(w, hi), scale)),
                          top);
}

__attribute__((target("avx2"))) inline __m256i blendWeightsAVX2(int f) {
  return _mm256_set1_epi16(static_cast<short>((f << 8) | (256 - f)));
}

// block(at) for each whole 32-byte block of n, two a step: for the lightest
// blocks the loop's own counting is most of what is left. Returns the bytes done.
template <typename Block>
__attribute__((always_inline)) inline int inBlocksOf32(int n, Block&& block) {
  int x = 0;
  for (; x + 64 <= n; x += 64) {
    block(x);
    block(x + 32);
  }
  if (x + 32 <= n) {
    block(x);
    x += 32;
  }
  return x;
}

__attribute__((target("avx2"))) int blendRowAVX2(const uint8_t* r0, const uint8_t* r1, uint8_t* d, int n, int f) {
  int x = 0;
  if (f == 128) {
    auto average = [&](int at) __attribute__((target("avx2"))) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + at),
                          _mm256_avg_epu8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(r0 + at)),
                                          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r1 + at))));
    };
    return inBlocksOf32(n, average);
  }
  const __m256i w = blendWeightsAVX2(f), top = _mm256_set1_epi8(static_cast<char>(0x80));
  for (; x + 32 <= n; x += 32) {
    const __m256i a = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(r0 + x)), top);
    const __m256i b = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(r1 + x)), top);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + x),
                        blendedAVX2(_mm256_unpacklo_epi8(a, b), _mm256_unpackhi_epi8(a, b), w));
  }
  return x;
}

// Two rows from the same pair at two fractions (neither 0), the pair read and
// interleaved once for both.
__attribute__((target("avx2"))) int blendRowPairAVX2(const uint8_t* r0, const uint8_t* r1, uint8_t* d0, int f0,
                                                     uint8_t* d1, int f1, int n) {
  const __m256i w0 = blendWeightsAVX2(f0), w1 = blendWeightsAVX2(f1), top = _mm256_set1_epi8(static_cast<char>(0x80));
  auto block = [&](int at) __attribute__((target("avx2"))) {
    const __m256i a = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(r0 + at)), top);
    const __m256i b = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(r1 + at)), top);
    const __m256i lo = _mm256_unpacklo_epi8(a, b), hi = _mm256_unpackhi_epi8(a, b);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d0 + at), blendedAVX2(lo, hi, w0));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d1 + at), blendedAVX2(lo, hi, w1));
  };
  return inBlocksOf32(n, block);
}

__attribute__((target("ssse3"))) int blendRowSSSE3(const uint8_t* r0, const uint8_t* r1, uint8_t* d, int n, int f) {
  int x = 0;
  if (f == 128) {
    for (; x + 16 <= n; x += 16)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(d + x), _mm_avg_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r0 + x)),
                                                                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(r1 + x))));
    return x;
  }
  const __m128i w = _mm_set1_epi16(static_cast<short>((f << 8) | (256 - f)));
  const __m128i offset = _mm_set1_epi8(static_cast<char>(0x80)), round = _mm_set1_epi16(static_cast<short>(0x8080));
  for (; x + 16 <= n; x += 16) {
    const __m128i a = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r0 + x)), offset);
    const __m128i b = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r1 + x)), offset);
    const __m128i lo = _mm_srli_epi16(_mm_add_epi16(_mm_maddubs_epi16(w, _mm_unpacklo_epi8(a, b)), round), 8);
    const __m128i hi = _mm_srli_epi16(_mm_add_epi16(_mm_maddubs_epi16(w, _mm_unpackhi_epi8(a, b)), round), 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + x), _mm_packus_epi16(lo, hi));
  }
  return x;
}
#endif

bool hasAVX2() {
#if defined(__x86_64__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2;
#else
  return false;
#endif
}

}  // namespace

void blendRow(const uint8_t* r0, const uint8_t* r1, uint8_t* d, int n, int fraction) {
  if (fraction <= 0) {
    std::memmove(d, r0, n);
    return;
  }
  int x = 0;
#if defined(__x86_64__)
  // The row's end as one more block overlapping the last one: its outputs
  // come out the same, since `d` never overlaps the rows it is made from.
  static const bool ssse3 = __builtin_cpu_supports("ssse3");
  if (hasAVX2() && n >= 32) {
    if (blendRowAVX2(r0, r1, d, n, fraction) < n) blendRowAVX2(r0 + n - 32, r1 + n - 32, d + n - 32, 32, fraction);
    return;
  }
  if (ssse3 && n >= 16) {
    if (blendRowSSSE3(r0, r1, d, n, fraction) < n) blendRowSSSE3(r0 + n - 16, r1 + n - 16, d + n - 16, 16, fraction);
    return;
  }
#endif
  for (; x < n; ++x) d[x] = static_cast<uint8_t>((r0[x] * (256 - fraction) + r1[x] * fraction + 128) >> 8);
}

void blendRowPair(const uint8_t* r0, const uint8_t* r1, uint8_t* d0, int fraction0, uint8_t* d1, int fraction1,
                  int n) {
#if defined(__x86_64__)
  // Worth it where neither row is a plain copy or a byte average.
  if (hasAVX2() && n >= 32 && fraction0 > 0 && fraction1 > 0 && fraction0 != 128 && fraction1 != 128) {
    if (blendRowPairAVX2(r0, r1, d0, fraction0, d1, fraction1, n) < n)
      blendRowPairAVX2(r0 + n - 32, r1 + n - 32, d0 + n - 32, fraction0, d1 + n - 32, fraction1, 32);
    return;
  }
#endif
  blendRow(r0, r1, d0, n, fraction0);
  blendRow(r0, r1, d1, n, fraction1);
}

void interpolate(const NV12Frame& from, const NV12Frame& to, const NV12Frame& dst, double t) {
  if (from.isEmpty() || to.isEmpty() || dst.isEmpty()) return;
  const int f = static_cast<int>(std::lround(std::clamp(t, 0.0, 1.0) * 256));
  const NV12Frame& whole = f <= 0 ? from : to;
  if (f <= 0 || f >= 256) {
    if (whole.y != dst.y)
      libyuv::NV12Copy(whole.y, whole.strideY, whole.uv, whole.strideUV, dst.y, dst.strideY, dst.uv, dst.strideUV,
                       dst.width, dst.height);
    return;
  }
  libyuv::InterpolatePlane(from.y, from.strideY, to.y, to.strideY, dst.y, dst.strideY, dst.width, dst.height, f);
  libyuv::InterpolatePlane(from.uv, from.strideUV, to.uv, to.strideUV, dst.uv, dst.strideUV, dst.chromaWidth() * 2,
                           dst.chromaHeight(), f);
}

}  // namespace quarzadel::nv12
