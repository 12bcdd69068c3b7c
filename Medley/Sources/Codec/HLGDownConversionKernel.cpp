#include "Medley/Sources/Codec/HLGDownConversionKernel.h"

#include <immintrin.h>

#include <array>
#include <cmath>

#include "Medley/Sources/Codec/HLGCurves.h"

namespace medley {
namespace {
namespace floats {

constexpr double kPi = 3.14159265358979323846;

// A curve on [a, b] as a polynomial in t = (2x - a - b) / (b - a), lowest
// power first, interpolated at the Chebyshev nodes: within a hair of the best
// polynomial of its degree, and well conditioned in single precision.
template <int degree, typename F>
std::array<float, degree + 1> fitted(F f, double a, double b) {
  static_assert(degree >= 1);
  constexpr int n = degree + 1;
  double c[n] = {};
  for (int j = 0; j < n; ++j) {
    for (int k = 0; k < n; ++k)
      c[j] += f((b - a) / 2 * std::cos(kPi * (k + 0.5) / n) + (a + b) / 2) * std::cos(kPi * j * (k + 0.5) / n);
    c[j] *= (j ? 2.0 : 1.0) / n;
  }
  // T0 = 1, T1 = t, Tj = 2t Tj-1 - Tj-2, summed power by power.
  double powers[n] = {c[0], c[1]}, previous[n] = {1}, current[n] = {0, 1};
  for (int j = 2; j < n; ++j) {
    double next[n] = {};
    for (int i = 0; i < n; ++i) next[i] = (i ? 2 * current[i - 1] : 0) - previous[i];
    for (int i = 0; i < n; ++i) previous[i] = current[i], current[i] = next[i], powers[i] += c[j] * next[i];
  }
  std::array<float, n> out{};
  for (int i = 0; i < n; ++i) out[i] = static_cast<float>(powers[i]);
  return out;
}

// Scene light of standard white in HLG.
const double kReferenceWhite = hlgReferenceWhite();
// Light below which BT.709 is its linear toe, and the square root of it.
constexpr double kToe = 0.018;
const double kRootOfToe = std::sqrt(kToe);

// The curves, fitted once: HLG signals above the knee (0.5) to scene light
// over the reference white's, within 4e-5; and BT.709 signals of light above
// the toe by the light's square root (a gentle curve, where the signal by the
// light is steep), within 8e-5. An 8-bit code is 4.6e-3.
struct Curves {
  std::array<float, 7> light = fitted<6>([](double v) { return hlgInverseOETF(v) / kReferenceWhite; }, 0.5, 1);
  std::array<float, 6> signal = fitted<5>([](double u) { return bt709OETF(u * u); }, kRootOfToe, 1);
};

const Curves& curves() {
  static const Curves c;
  return c;
}

#define QZ_AVX2 [[gnu::target("avx2,fma")]] inline

template <int n>
struct Polynomial {
  __m256 c[n];
  QZ_AVX2 explicit Polynomial(const std::array<float, n>& a) {
    for (int i = 0; i < n; ++i) c[i] = _mm256_set1_ps(a[i]);
  }
  QZ_AVX2 __m256 operator()(__m256 t) const {
    __m256 h = c[n - 1];
    for (int k = n - 2; k >= 0; --k) h = _mm256_fmadd_ps(h, t, c[k]);
    return h;
  }
};

QZ_AVX2 __m256 all(float v) { return _mm256_set1_ps(v); }
QZ_AVX2 __m256 unit(__m256 v) { return _mm256_min_ps(_mm256_max_ps(v, _mm256_setzero_ps()), all(1)); }

struct Kernel {
  Polynomial<7> light;
  Polynomial<6> signal;

  // An HLG signal in 0...1 to scene light over the reference white's: the
  // square, below the knee; the log part's inverse above.
  QZ_AVX2 __m256 lightOf(__m256 v) const {
    const __m256 square = _mm256_mul_ps(_mm256_mul_ps(v, all(static_cast<float>(1 / (3 * kReferenceWhite)))), v);
    const __m256 above = light(_mm256_fmsub_ps(v, all(4), all(3)));
    return _mm256_blendv_ps(square, above, _mm256_cmp_ps(v, all(0.5f), _CMP_GT_OQ));
  }

  // Light in 0...1 to its BT.709 signal. The root is the correctly rounded
  // one, so every processor gives the same codes.
  QZ_AVX2 __m256 signalOf(__m256 l) const {
    const __m256 root = _mm256_sqrt_ps(l);
    const float scale = static_cast<float>(2 / (1 - kRootOfToe)),
                shift = static_cast<float>((1 + kRootOfToe) / (1 - kRootOfToe));
    const __m256 above = signal(_mm256_fmsub_ps(root, all(scale), all(shift)));
    return _mm256_blendv_ps(_mm256_mul_ps(l, all(4.5f)), above,
                            _mm256_cmp_ps(l, all(static_cast<float>(kToe)), _CMP_GE_OQ));
  }
};

// One BT.709 channel's light, in 0...1, from the BT.2020 light.
QZ_AVX2 __m256 narrowed(const double (&m)[3], __m256 r, __m256 g, __m256 b) {
  const auto f = [](double v) { return static_cast<float>(v); };
  return unit(_mm256_fmadd_ps(r, all(f(m[0])), _mm256_fmadd_ps(g, all(f(m[1])), _mm256_mul_ps(b, all(f(m[2]))))));
}

QZ_AVX2 __m256 load(const float* p) { return _mm256_load_ps(p); }
QZ_AVX2 void store(float* p, __m256 v) { _mm256_store_ps(p, v); }

// The values of a span of a pair of lines, kept between passes: per line, per
// channel, per column. Short passes let the processor overlap their
// iterations and keep each pass's constants in registers; the span stays in
// the first-level cache. Sixteen columns are kept as the luma is unpacked:
// columns 0-3 and 8-11, then 4-7 and 12-15.
constexpr int kSpan = 256;
struct Span {
  alignas(32) float values[2][3][kSpan];
};

// Sixteen columns of both lines to their HLG R', G', B' signals, clipped to
// 0...1.
QZ_AVX2 void storeSignals(Span& span, int i, const uint16_t* uv, const uint16_t* line0, const uint16_t* line1) {
  const __m256i codeBits = _mm256_set1_epi32(0xFFC0);
  const __m256i pairs = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(uv));
  const __m256 cbs = _mm256_cvtepi32_ps(_mm256_and_si256(pairs, codeBits)),
               crs = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(pairs, 16), codeBits));
  // Chroma (P010 words as numbers) to each block's share of R', G', B', less
  // the luma offset.
  const float perChroma = 1.0f / (64 * 896), lumaOffset = -64.0f / 876;
  const float red = 1.4746f * perChroma, greenOfCb = -0.0593f * 1.8814f / 0.6780f * perChroma,
              greenOfCr = -0.2627f * 1.4746f / 0.6780f * perChroma, blue = 1.8814f * perChroma;
  const __m256 shares[3] = {
      _mm256_fmadd_ps(crs, all(red), all(lumaOffset - 512 * 64 * red)),
      _mm256_fmadd_ps(cbs, all(greenOfCb),
                      _mm256_fmadd_ps(crs, all(greenOfCr), all(lumaOffset - 512 * 64 * (greenOfCb + greenOfCr)))),
      _mm256_fmadd_ps(cbs, all(blue), all(lumaOffset - 512 * 64 * blue))};
  // Blocks to columns, in the order the luma is unpacked.
  const __m256i lowColumns = _mm256_setr_epi32(0, 0, 1, 1, 4, 4, 5, 5),
                highColumns = _mm256_setr_epi32(2, 2, 3, 3, 6, 6, 7, 7);
  for (int line = 0; line < 2; ++line) {
    const __m256i words = _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(line ? line1 : line0)),
                                           _mm256_set1_epi16(-64));
    const __m256 low = _mm256_cvtepi32_ps(_mm256_unpacklo_epi16(words, _mm256_setzero_si256())),
                 high = _mm256_cvtepi32_ps(_mm256_unpackhi_epi16(words, _mm256_setzero_si256()));
    for (int c = 0; c < 3; ++c) {
      float* row = span.values[line][c] + i;
      store(row, unit(_mm256_fmadd_ps(low, all(1.0f / (64 * 876)), _mm256_permutevar8x32_ps(shares[c], lowColumns))));
      store(row + 8,
            unit(_mm256_fmadd_ps(high, all(1.0f / (64 * 876)), _mm256_permutevar8x32_ps(shares[c], highColumns))));
    }
  }
}

// Sixteen 8-bit codes (plus a half each) in the order the luma was unpacked to
// sixteen bytes in order.
QZ_AVX2 void storeBytes(uint8_t* out, __m256 low, __m256 high) {
  const __m256i words = _mm256_packus_epi32(_mm256_cvttps_epi32(low), _mm256_cvttps_epi32(high));
  const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(words, words), 0b1000);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(bytes));
}

// BT.709 luma codes plus a half, before truncation, of eight pixels of a line.
QZ_AVX2 __m256 lumaCodes(const float (&line)[3][kSpan], int j) {
  return _mm256_fmadd_ps(load(line[0] + j), all(219 * 0.2126f),
                         _mm256_fmadd_ps(load(line[1] + j), all(219 * 0.7152f),
                                         _mm256_fmadd_ps(load(line[2] + j), all(219 * 0.0722f), all(16.5f))));
}

// Eight blocks' sums of a value from its sixteen columns of both lines: pairs
// of columns summed, blocks 0-3 in the low half, 4-7 in the high.
QZ_AVX2 __m256 blockSums(const float* line0, const float* line1) {
  return _mm256_hadd_ps(_mm256_add_ps(load(line0), load(line1)), _mm256_add_ps(load(line0 + 8), load(line1 + 8)));
}

// Sixteen columns of both lines, BT.709 R', G', B' in: their luma bytes and
// their eight blocks' Cb Cr bytes out.
QZ_AVX2 void storeCodes(const Span& span, int i, uint8_t* out0, uint8_t* out1, uint8_t* outUV) {
  const auto& v = span.values;
  const __m256 low0 = lumaCodes(v[0], i), high0 = lumaCodes(v[0], i + 8), low1 = lumaCodes(v[1], i),
               high1 = lumaCodes(v[1], i + 8);
  storeBytes(out0, low0, high0);
  storeBytes(out1, low1, high1);
  const __m256 sumR = blockSums(v[0][0] + i, v[1][0] + i), sumB = blockSums(v[0][2] + i, v[1][2] + i),
               sumLuma = _mm256_hadd_ps(_mm256_add_ps(low0, low1), _mm256_add_ps(high0, high1));
  // Block sums of four pixels to chroma codes plus a half: Cb from the sums of
  // B' and of the luma codes (each 16.5 + 219 Y'), Cr from R'.
  const float cb = 224 / 1.8556f / 4, cr = 224 / 1.5748f / 4;
  const __m256i cbCodes = _mm256_cvttps_epi32(_mm256_fmadd_ps(
                    sumB, all(cb), _mm256_fmadd_ps(sumLuma, all(-cb / 219), all(128.5f + 66 * cb / 219)))),
                crCodes = _mm256_cvttps_epi32(_mm256_fmadd_ps(
                    sumR, all(cr), _mm256_fmadd_ps(sumLuma, all(-cr / 219), all(128.5f + 66 * cr / 219))));
  // Each block's Cb and Cr bytes side by side, the blocks in order.
  const __m256i packed =
      _mm256_shuffle_epi8(_mm256_or_si256(cbCodes, _mm256_slli_epi32(crCodes, 8)),
                          _mm256_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1, 0, 1, 4, 5, 8, 9,
                                           12, 13, -1, -1, -1, -1, -1, -1, -1, -1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(outUV), _mm256_castsi256_si128(_mm256_permute4x64_epi64(packed, 0b1000)));
}

[[gnu::target("avx2,fma")]] int convertBlocks(const uint16_t* uv, const uint16_t* line0, const uint16_t* line1,
                                              uint8_t* out0, uint8_t* out1, uint8_t* outUV, int blocks) {
  const Kernel kernel{Polynomial<7>(curves().light), Polynomial<6>(curves().signal)};
  Span span;
  const int done = blocks / 8 * 8;
  for (int start = 0; start < 2 * done; start += kSpan) {
    const int columns = 2 * done - start < kSpan ? 2 * done - start : kSpan;
    for (int i = 0; i < columns; i += 16) storeSignals(span, i, uv + start + i, line0 + start + i, line1 + start + i);
    for (auto& line : span.values)
      for (auto& row : line)
        for (int j = 0; j < columns; j += 8) store(row + j, kernel.lightOf(load(row + j)));
    for (auto& line : span.values)
      for (int j = 0; j < columns; j += 8) {
        const __m256 r = load(line[0] + j), g = load(line[1] + j), b = load(line[2] + j);
        for (int c = 0; c < 3; ++c) store(line[c] + j, narrowed(kBT2020ToBT709[c], r, g, b));
      }
    for (auto& line : span.values)
      for (auto& row : line)
        for (int j = 0; j < columns; j += 8) store(row + j, kernel.signalOf(load(row + j)));
    for (int i = 0; i < columns; i += 16) storeCodes(span, i, out0 + start + i, out1 + start + i, outUV + start + i);
  }
  return done;
}

#undef QZ_AVX2

}  // namespace floats
}  // namespace

int convertHLGToBT709Blocks(const uint16_t* uv, const uint16_t* line0, const uint16_t* line1, uint8_t* out0,
                            uint8_t* out1, uint8_t* outUV, int blocks) {
  return floats::convertBlocks(uv, line0, line1, out0, out1, outUV, blocks);
}

}  // namespace medley
