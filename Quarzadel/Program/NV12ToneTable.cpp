// The per-sample loops below are written to vectorise; the default optimisation
// level would leave most of them scalar.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("O3")
#endif
#include "Quarzadel/Program/NV12ToneTable.h"

#include "Quarzadel/Program/NV12Support.h"

#include <cmath>
#include <cstdlib>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>  // byte shuffles, used where the processor has them
#endif

namespace quarzadel::nv12 {

namespace {

uint8_t toneLuma(int v, const ToneTable::Arithmetic& a) { return clampByte(v + a.lumaOffset, 16, 235); }

uint8_t toneChroma(int v, const ToneTable::Arithmetic& a) {
  return clampByte((((v - 128) * a.chromaGain + a.chromaBias) >> 15), 16, 240);
}

#if defined(__SSE2__)
// Sixteen samples at a time; returns how many were done.
int toneLumaRow(uint8_t* p, int count, const ToneTable::Arithmetic& a) {
  const __m128i amount = _mm_set1_epi8(static_cast<char>(std::abs(a.lumaOffset)));
  const __m128i lo = _mm_set1_epi8(16), hi = _mm_set1_epi8(static_cast<char>(235));
  int x = 0;
  for (; x + 16 <= count; x += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + x));
    v = a.lumaOffset < 0 ? _mm_subs_epu8(v, amount) : _mm_adds_epu8(v, amount);
    v = _mm_min_epu8(_mm_max_epu8(v, lo), hi);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + x), v);
  }
  return x;
}

int toneChromaRow(uint8_t* p, int count, const ToneTable::Arithmetic& a) {
  const __m128i zero = _mm_setzero_si128(), centre = _mm_set1_epi16(128);
  const __m128i gain = _mm_set1_epi16(static_cast<short>(a.chromaGain)), bias = _mm_set1_epi32(a.chromaBias);
  const __m128i lo = _mm_set1_epi8(16), hi = _mm_set1_epi8(static_cast<char>(240));
  // (d x gain + bias) >> 15 on 32-bit products, eight samples at a time.
  auto eight = [&](__m128i v) {
    const __m128i d = _mm_sub_epi16(v, centre);
    const __m128i low = _mm_mullo_epi16(d, gain), high = _mm_mulhi_epi16(d, gain);
    const __m128i p0 = _mm_srai_epi32(_mm_add_epi32(_mm_unpacklo_epi16(low, high), bias), 15);
    const __m128i p1 = _mm_srai_epi32(_mm_add_epi32(_mm_unpackhi_epi16(low, high), bias), 15);
    return _mm_packs_epi32(p0, p1);
  };
  int x = 0;
  for (; x + 16 <= count; x += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + x));
    __m128i r = _mm_packus_epi16(eight(_mm_unpacklo_epi8(v, zero)), eight(_mm_unpackhi_epi8(v, zero)));
    r = _mm_min_epu8(_mm_max_epu8(r, lo), hi);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + x), r);
  }
  return x;
}
#endif

}  // namespace

ToneTable ToneTable::colorControls(double brightness, double saturation) {
  ToneTable t{};
  for (int v = 0; v < 256; ++v) {
    const double y = v + brightness * 219;
    t.luma[v] = clampByte(static_cast<int>(std::lround(y)), 16, 235);
    const double c = 128 + (v - 128) * saturation;
    t.chroma[v] = clampByte(static_cast<int>(std::lround(c)), 16, 240);
  }
  // The arithmetic form, kept only when it reproduces both tables entry for
  // entry. The gain in 1/32768 is inexact; a gain rounded up with a small bias
  // keeps values that lie exactly halfway rounding up, as the tables do.
  const int offset = static_cast<int>(std::lround(brightness * 219));
  const double gain = saturation * 32768;
  const int base = (128 << 15) + (1 << 14);
  for (const auto& [g, bias] : {std::pair{std::ceil(gain), 128}, std::pair{std::floor(gain), -128},
                                std::pair{std::round(gain), 0}}) {
    if (std::abs(offset) > 255 || !(g >= 0 && g < 32768)) break;
    const ToneTable::Arithmetic form{offset, static_cast<int>(g), base + bias};
    bool exact = true;
    for (int v = 0; v < 256 && exact; ++v)
      exact = t.luma[v] == toneLuma(v, form) && t.chroma[v] == toneChroma(v, form);
    if (exact) {
      t.arithmetic = form;
      break;
    }
  }
  return t;
}

// The table's luma or chroma part on `rows` rows of `bytes`.
void tonePlane(uint8_t* plane, int stride, int bytes, int rows, const ToneTable& table, bool luma) {
  const auto& entries = luma ? table.luma : table.chroma;
  for (int row = 0; row < rows; ++row) {
    uint8_t* p = plane + static_cast<ptrdiff_t>(row) * stride;
    int x = 0;
#if defined(__SSE2__)
    if (table.arithmetic)
      x = luma ? toneLumaRow(p, bytes, *table.arithmetic) : toneChromaRow(p, bytes, *table.arithmetic);
#endif
    for (; x < bytes; ++x) p[x] = entries[p[x]];
  }
}

void apply(const NV12Frame& f, const ToneTable& table) {
  if (f.isEmpty()) return;
  tonePlane(f.y, f.strideY, f.width, f.height, table, true);
  tonePlane(f.uv, f.strideUV, f.chromaWidth() * 2, f.chromaHeight(), table, false);
}

}  // namespace quarzadel::nv12
