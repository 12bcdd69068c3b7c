#include "Medley/Sources/Codec/HLGUpConversionKernel.h"

#include <immintrin.h>

namespace medley {
namespace {
namespace fixed16 {

// A BT.709 signal v in 0...1 is kept as v * 219 * 33, so that every luma code
// is exact. Its scene light L is kept as 4.5 L in the same units: along the
// linear toe that is the signal itself, so dark colours keep the resolution of
// their codes, and white (4.5) still fits in 16 signed bits. Video-range codes
// stay within a code of the exact form; a luma code below black whose chroma
// lifts one channel a hair above zero, finer than that unit, can be off by up
// to 2.6.
constexpr int kSignalUnit = 219 * 33;
constexpr int kLumaStep = 33;
constexpr int kToe = 585;  // 0.081, the last signal of the linear toe

// Chroma codes to each block's share of R', G' and B' in signal units, less
// the luma offset of 16 codes, so that a pixel's signal is 33 Y + share; plus
// kClipBias, which lets saturating arithmetic clip the sum to 0...1 (below).
constexpr int kClipBias = 32767 - kSignalUnit;
constexpr int kOffset = -16 * kLumaStep + kClipBias;
// The shares per chroma code in 512ths of a unit: a share is (code - 128)
// times that, rounded, within an eighth of a unit of the exact product.
constexpr int kShareBits = 9;
constexpr int shareStep(double ofChroma) {
  const double step = ofChroma * kSignalUnit / 224 * (1 << kShareBits);
  return static_cast<int>(step < 0 ? step - 0.5 : step + 0.5);
}
constexpr int kRedOfCr = shareStep(1.5748), kGreenOfCb = shareStep(-0.187324), kGreenOfCr = shareStep(-0.468124),
              kBlueOfCb = shareStep(1.8556);

// 4.5 L - v above the toe, halved, as a cubic in T = 4 (v - toe) (Q15),
// lowest power first; fitted for least HLG error, within 3e-4 of the signal.
// It has no constant term, so it is nothing along the toe, where T is 0.
constexpr short kLight[4] = {0, -104, 16749, 3262};

// BT.709 light to BT.2020 light, times 3 * reference white * 2^30 / (4.5 * 7227):
// a row times the three 4.5 L gives 3E in Q30, whose square root is the HLG
// signal of the square-root part in Q15. Rows sum alike, so grey stays grey.
constexpr short kMatrix[3][3] = {{16466, 8642, 1136}, {1813, 24132, 299}, {430, 2310, 23504}};

// HLG's log part, above the knee at signal s = 0.5, as s - T^2 G(T) with
// T = 2 (s - 0.5) (Q15); G a quadratic, lowest power first, within 2e-4 of
// the signal.
constexpr short kKnee = 16384;
constexpr short kLog[3] = {13706, -11669, 4897};

// BT.2020 luma weights times 876 * 32: luma in 32nds of a 10-bit code.
constexpr short kLuma[3] = {7364, 19006, 1662};
constexpr int kLumaFraction = 32;

#define QZ_AVX2 [[gnu::target("avx2,fma")]] inline

QZ_AVX2 __m256i words(short v) { return _mm256_set1_epi16(v); }
QZ_AVX2 __m256i mul(__m256i a, __m256i b) { return _mm256_mulhrs_epi16(a, b); }
QZ_AVX2 __m256i add(__m256i a, __m256i b) { return _mm256_add_epi16(a, b); }

// Per-pixel shares of R', G', B' of sixteen columns, from their eight blocks'
// chroma bytes, each block's twice.
struct Shares {
  __m256i red, green, blue;
};

// A block's share from its Cb Cr pair (times 128, so that the product lands
// in 65536ths): the offset and the rounding added, the share is the high word.
QZ_AVX2 __m256i shareOf(__m256i pairs, int ofCb, int ofCr) {
  const __m256i steps =
      _mm256_set1_epi32(static_cast<int>(static_cast<unsigned short>(ofCb) | static_cast<unsigned>(ofCr) << 16));
  const int constant = kOffset * 65536 - 128 * 128 * (ofCb + ofCr) + 32768;
  // The high word of each 32-bit share into both words: the block's two columns.
  __m256i twice = _mm256_setr_epi8(2, 3, 2, 3, 6, 7, 6, 7, 10, 11, 10, 11, 14, 15, 14, 15, 2, 3, 2, 3, 6, 7, 6, 7, 10,
                                   11, 10, 11, 14, 15, 14, 15);
  // One byte shuffle, which the compiler would otherwise split in two word shuffles.
  asm("" : "+x"(twice));
  return _mm256_shuffle_epi8(_mm256_add_epi32(_mm256_madd_epi16(pairs, steps), _mm256_set1_epi32(constant)), twice);
}

QZ_AVX2 Shares sharesOf(const uint8_t* uv) {
  static_assert(16 - kShareBits == 7);
  const __m256i pairs =
      _mm256_slli_epi16(_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(uv))), 7);
  return {shareOf(pairs, 0, kRedOfCr), shareOf(pairs, kGreenOfCb, kGreenOfCr), shareOf(pairs, kBlueOfCb, 0)};
}

// A channel's BT.709 signal, clipped to 0...1: the biased sum saturates at
// the top of 16 signed bits, which is 1 once the bias is taken off, and taking
// it off saturates at 0.
QZ_AVX2 __m256i signalOf(__m256i luma, __m256i share) {
  return _mm256_subs_epu16(_mm256_adds_epi16(luma, share), words(kClipBias));
}

// 4.5 L of BT.709 signals: the signal itself along the toe, the polynomial
// above it (the curve starts a little below the toe's line there).
template <int n>
QZ_AVX2 __m256i lightOf(__m256i v, const short (&c)[n]) {
  const __m256i x = _mm256_slli_epi16(_mm256_subs_epu16(v, words(kToe)), 2);
  __m256i h = words(c[n - 1]);
  for (int k = n - 2; k > 0; --k) h = add(mul(h, x), words(c[k]));
  h = mul(h, x);
  return add(v, add(h, h));
}

// Square roots of the 3E (Q30) of eight even and eight odd pixels to sixteen
// signals (Q15). Adding 1.5 * 2^23 to a root leaves it, rounded, in the low
// bits of the float. The root is the correctly rounded one, so every processor
// gives the same codes (an approximate reciprocal root differs between makers).
QZ_AVX2 __m256i rootsOf(__m256i even, __m256i odd) {
  const __m256 magic = _mm256_set1_ps(12582912.0f);
  const __m256i e = _mm256_castps_si256(_mm256_add_ps(_mm256_sqrt_ps(_mm256_cvtepi32_ps(even)), magic));
  const __m256i o = _mm256_castps_si256(_mm256_add_ps(_mm256_sqrt_ps(_mm256_cvtepi32_ps(odd)), magic));
  return _mm256_blend_epi16(e, _mm256_slli_epi32(o, 16), 0xAA);
}

// The HLG signal of its square-root part's continuation s: s itself up to
// the knee, the log part above.
template <int n>
QZ_AVX2 __m256i hlgOf(__m256i s, const short (&c)[n]) {
  const __m256i t = _mm256_subs_epu16(s, words(kKnee));
  const __m256i x = add(t, t);
  __m256i g = words(c[n - 1]);
  for (int k = n - 2; k >= 0; --k) g = add(mul(g, x), words(c[k]));
  return _mm256_sub_epi16(s, mul(mul(x, x), g));
}

// One BT.2020 channel's square-root-part signal from the three 4.5 L, given
// as pairs (red, green) of the even and odd pixels, and blue as it is (its
// odd or even pixels weighed by nothing).
QZ_AVX2 __m256i rootOf(const short (&row)[3], __m256i redGreenEven, __m256i redGreenOdd, __m256i blue) {
  const __m256i redGreen =
      _mm256_set1_epi32(static_cast<int>(static_cast<unsigned short>(row[0]) | static_cast<unsigned>(row[1]) << 16));
  const __m256i even =
      _mm256_add_epi32(_mm256_madd_epi16(redGreenEven, redGreen), _mm256_madd_epi16(blue, _mm256_set1_epi32(row[2])));
  const __m256i odd = _mm256_add_epi32(_mm256_madd_epi16(redGreenOdd, redGreen),
                                       _mm256_madd_epi16(blue, _mm256_set1_epi32(row[2] << 16)));
  return rootsOf(even, odd);
}

QZ_AVX2 __m256i load(const short* p) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(p)); }
QZ_AVX2 void store(short* p, __m256i v) { _mm256_store_si256(reinterpret_cast<__m256i*>(p), v); }

// The values of a span of a pair of lines, kept between passes: per line,
// per channel, per column. The passes are short loops, so that the processor
// overlaps their iterations (one long body of dependent steps would leave it
// waiting on each), over a span short enough to stay in the first-level cache.
constexpr int kSpan = 256;
struct Span {
  alignas(32) short values[2][3][kSpan];
};

// Sixteen columns of both lines to their BT.709 signals.
QZ_AVX2 void storeSignals(Span& span, int i, const uint8_t* uv, const uint8_t* line0, const uint8_t* line1) {
  const Shares shares = sharesOf(uv);
  for (int line = 0; line < 2; ++line) {
    const __m256i y = _mm256_mullo_epi16(
        _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(line ? line1 : line0))),
        words(kLumaStep));
    store(span.values[line][0] + i, signalOf(y, shares.red));
    store(span.values[line][1] + i, signalOf(y, shares.green));
    store(span.values[line][2] + i, signalOf(y, shares.blue));
  }
}

// A row of a span in place: signals to 4.5 L.
template <int n>
QZ_AVX2 void lightRow(short* row, int columns, const short (&c)[n]) {
  for (int i = 0; i < columns; i += 16) store(row + i, lightOf(load(row + i), c));
}

// Sixteen pixels of a line, 4.5 L of R, G, B in, their BT.2020 HLG signals
// out. The log part is worked out in the same pass, while the square roots,
// the slowest step, are still under way.
QZ_AVX2 void storeRoots(short (&line)[3][kSpan], int i) {
  const __m256i r = load(line[0] + i), g = load(line[1] + i), b = load(line[2] + i);
  const __m256i rgEven = _mm256_blend_epi16(r, _mm256_slli_epi32(g, 16), 0xAA),
                rgOdd = _mm256_blend_epi16(_mm256_srli_epi32(r, 16), g, 0xAA);
  store(line[0] + i, hlgOf(rootOf(kMatrix[0], rgEven, rgOdd, b), kLog));
  store(line[1] + i, hlgOf(rootOf(kMatrix[1], rgEven, rgOdd, b), kLog));
  store(line[2] + i, hlgOf(rootOf(kMatrix[2], rgEven, rgOdd, b), kLog));
}

// Sixteen pixels of a line, HLG R', G', B' in: luma codes out, rounded to a
// whole code in the high ten bits; luma in 32nds of a code above 64 kept in
// place of G' for the chroma.
QZ_AVX2 void storeLuma(short (&line)[3][kSpan], int i, uint16_t* out) {
  const __m256i luma = add(add(mul(load(line[0] + i), words(kLuma[0])), mul(load(line[1] + i), words(kLuma[1]))),
                           mul(load(line[2] + i), words(kLuma[2])));
  const __m256i code =
      _mm256_slli_epi16(_mm256_srli_epi16(add(luma, words(64 * kLumaFraction + kLumaFraction / 2)), 5), 6);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), code);
  store(line[1] + i, luma);
}

// Halves of eight blocks' sums of a value, from their two lines' values.
QZ_AVX2 __m256 halfSums(const short* line0, const short* line1) {
  return _mm256_cvtepi32_ps(_mm256_madd_epi16(_mm256_avg_epu16(load(line0), load(line1)), words(1)));
}

// Eight blocks' Cb Cr: that of the mean of their four pixels' colours.
QZ_AVX2 void storeChroma(const Span& span, int i, uint16_t* out) {
  const auto& v = span.values;
  const __m256 red = halfSums(v[0][0] + i, v[1][0] + i), blue = halfSums(v[0][2] + i, v[1][2] + i),
               luma = halfSums(v[0][1] + i, v[1][1] + i);
  // Means: a signal's is its half sum / 2^16, luma's its half sum / (876 * 64).
  const float lumaScale = -1.0f / (876 * kLumaFraction * 2), signalScale = 1.0f / 65536;
  const float pb = 896 / 1.8814f, pr = 896 / 1.4746f;
  const __m256 lumaB = _mm256_fmadd_ps(luma, _mm256_set1_ps(pb * lumaScale), _mm256_set1_ps(512));
  const __m256 lumaR = _mm256_fmadd_ps(luma, _mm256_set1_ps(pr * lumaScale), _mm256_set1_ps(512));
  const __m256i cb = _mm256_cvtps_epi32(_mm256_fmadd_ps(blue, _mm256_set1_ps(pb * signalScale), lumaB));
  const __m256i cr = _mm256_cvtps_epi32(_mm256_fmadd_ps(red, _mm256_set1_ps(pr * signalScale), lumaR));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                      _mm256_or_si256(_mm256_slli_epi32(cb, 6), _mm256_slli_epi32(cr, 22)));
}

#undef QZ_AVX2

}  // namespace fixed16
}  // namespace

[[gnu::target("avx2,fma")]] int convertBT709ToHLGBlocks(const uint8_t* uv, const uint8_t* line0,
                                                        const uint8_t* line1, uint16_t* out0, uint16_t* out1,
                                                        uint16_t* outUV, int blocks) {
  using namespace fixed16;
  Span span;
  const int done = blocks / 8 * 8;
  for (int start = 0; start < 2 * done; start += kSpan) {
    const int columns = 2 * done - start < kSpan ? 2 * done - start : kSpan;
    for (int i = 0; i < columns; i += 16) storeSignals(span, i, uv + start + i, line0 + start + i, line1 + start + i);
    for (auto& line : span.values)
      for (auto& row : line) lightRow(row, columns, kLight);
    for (auto& line : span.values)
      for (int i = 0; i < columns; i += 16) storeRoots(line, i);
    for (int line = 0; line < 2; ++line)
      for (int i = 0; i < columns; i += 16) storeLuma(span.values[line], i, (line ? out1 : out0) + start + i);
    for (int i = 0; i < columns; i += 16) storeChroma(span, i, outUV + start + i);
  }
  return done;
}

}  // namespace medley
