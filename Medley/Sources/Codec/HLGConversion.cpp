#include "Medley/Sources/Codec/HLGConversion.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <immintrin.h>

namespace medley {
namespace {

// HLG's constants (BT.2100).
constexpr double kA = 0.17883277, kB = 0.28466892, kC = 0.55991073;

double hlgOETF(double e) { return e <= 1.0 / 12 ? std::sqrt(3 * e) : kA * std::log(12 * e - kB) + kC; }
double hlgInverseOETF(double v) { return v <= 0.5 ? v * v / 3 : (std::exp((v - kC) / kA) + kB) / 12; }
double bt709OETF(double l) { return l < 0.018 ? 4.5 * l : 1.099 * std::pow(l, 0.45) - 0.099; }
double bt709InverseOETF(double v) { return v < 0.081 ? v / 4.5 : std::pow((v + 0.099) / 1.099, 1 / 0.45); }

// Scene light of standard white in HLG: its signal is 0.75.
const double kReferenceWhite = hlgInverseOETF(0.75);

// BT.709 primaries to BT.2020 (BT.2087), and back.
constexpr double k709To2020[3][3] = {
    {0.6274, 0.3293, 0.0433}, {0.0691, 0.9195, 0.0114}, {0.0164, 0.0880, 0.8956}};
constexpr double k2020To709[3][3] = {
    {1.6605, -0.5876, -0.0728}, {-0.1246, 1.1329, -0.0083}, {-0.0182, -0.1006, 1.1187}};

std::array<double, 3> times(const double (&m)[3][3], const std::array<double, 3>& v) {
  return {m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2], m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2],
          m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2]};
}

double unit(double v) { return std::clamp(v, 0.0, 1.0); }

struct Rgb {
  float r, g, b;
};

// Signals are read and written through tables indexed by integers: one unit
// of signal is kUnit steps, fine enough that no table needs interpolation (the
// error stays below a tenth of a 10-bit code).
constexpr int kUnit = 16384;

int clampIndex(int i) { return i < 0 ? 0 : i > kUnit ? kUnit : i; }
int stepsOf(double v) { return static_cast<int>(std::lround(v * kUnit)); }

template <typename F>
std::vector<float> tabulate(F f) {
  std::vector<float> t(kUnit + 1);
  for (int i = 0; i <= kUnit; ++i) t[i] = static_cast<float>(f(static_cast<double>(i) / kUnit));
  return t;
}

// BT.2020 non-constant luminance.
constexpr float kR2020 = 0.2627f, kB2020 = 0.0593f, kG2020 = 1 - kR2020 - kB2020;
constexpr float kR709 = 0.2126f, kB709 = 0.0722f, kG709 = 1 - kR709 - kB709;

uint16_t code10(float v, float offset, float range) {
  return static_cast<uint16_t>(static_cast<int>(std::clamp(offset + range * v + 0.5f, 0.0f, 1023.0f)) << 6);
}
uint8_t code8(float v, float offset, float range) {
  return static_cast<uint8_t>(std::clamp(offset + range * v + 0.5f, 0.0f, 255.0f));
}

// BT.709 8-bit video range -> HLG R'G'B'.
struct Forward {
  // 8-bit NV12 in, P010 (10 bits in the high bits of 16) out.
  using In = uint8_t;
  using Out = uint16_t;
  static constexpr int kCodeBits = 8;
  static int code(In v) { return v; }
  static constexpr float kRed = kR2020, kGreen = kG2020, kBlue = kB2020, kPb = 1.8814f, kPr = 1.4746f;
  static Out lumaCode(float v) { return code10(v, 64, 876); }
  static Out chromaCode(float v) { return code10(v, 512, 896); }
  // Signal steps of each code's share in R', G', B'.
  int luma[256], redOfCr[256], greenOfCb[256], greenOfCr[256], blueOfCb[256];
  std::vector<float> light = tabulate(bt709InverseOETF);
  // HLG signal by the square root of scene light, so the steep start of the
  // curve (a square root) is a straight line in the table.
  float rootScale = static_cast<float>(kUnit / std::sqrt(kReferenceWhite));
  std::vector<float> signal = tabulate([](double u) { return hlgOETF(u * u * kReferenceWhite); });
  float m[3][3];

  Forward() {
    for (int c = 0; c < 256; ++c) {
      const double chroma = (c - 128) / 224.0;
      luma[c] = stepsOf((c - 16) / 219.0);
      redOfCr[c] = stepsOf(1.5748 * chroma);
      greenOfCb[c] = stepsOf(-0.187324 * chroma);
      greenOfCr[c] = stepsOf(-0.468124 * chroma);
      blueOfCb[c] = stepsOf(1.8556 * chroma);
    }
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) m[i][j] = static_cast<float>(k709To2020[i][j] * kReferenceWhite);
  }
  // Scene light (scaled to the reference white) to HLG signal.
  float encode(float e) const {
    return signal[clampIndex(static_cast<int>(std::sqrt(std::max(e, 0.0f)) * rootScale + 0.5f))];
  }
};

// HLG 10-bit video range -> BT.709 R'G'B'.
struct Backward {
  using In = uint16_t;
  using Out = uint8_t;
  static constexpr int kCodeBits = 10;
  static int code(In v) { return v >> 6; }
  static constexpr float kRed = kR709, kGreen = kG709, kBlue = kB709, kPb = 1.8556f, kPr = 1.5748f;
  static Out lumaCode(float v) { return code8(v, 16, 219); }
  static Out chromaCode(float v) { return code8(v, 128, 224); }
  int luma[1024], redOfCr[1024], greenOfCb[1024], greenOfCr[1024], blueOfCb[1024];
  std::vector<float> light = tabulate([](double v) { return hlgInverseOETF(v) / kReferenceWhite; });
  std::vector<float> signal = tabulate(bt709OETF);
  float m[3][3];

  Backward() {
    for (int c = 0; c < 1024; ++c) {
      const double chroma = (c - 512) / 896.0;
      luma[c] = stepsOf((c - 64) / 876.0);
      redOfCr[c] = stepsOf(1.4746 * chroma);
      // G' = (Y' - kr R' - kb B') / kg with R' = Y' + 1.4746 Pr, B' = Y' + 1.8814 Pb.
      greenOfCb[c] = stepsOf(-0.0593 * 1.8814 / 0.6780 * chroma);
      greenOfCr[c] = stepsOf(-0.2627 * 1.4746 / 0.6780 * chroma);
      blueOfCb[c] = stepsOf(1.8814 * chroma);
    }
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) m[i][j] = static_cast<float>(k2020To709[i][j]);
  }
  // Display light to BT.709 signal.
  float encode(float l) const { return signal[clampIndex(static_cast<int>(l * kUnit + 0.5f))]; }
};

// One pixel: its luma code and its block's chroma shares (in signal steps) to
// the source's light, through the primaries' matrix, to the result's signal.
template <typename Conversion>
Rgb convertPixel(const Conversion& c, int y, int red, int green, int blue) {
  const float r = c.light[clampIndex(c.luma[y] + red)], g = c.light[clampIndex(c.luma[y] + green)],
              b = c.light[clampIndex(c.luma[y] + blue)];
  return {c.encode(c.m[0][0] * r + c.m[0][1] * g + c.m[0][2] * b),
          c.encode(c.m[1][0] * r + c.m[1][1] * g + c.m[1][2] * b),
          c.encode(c.m[2][0] * r + c.m[2][1] * g + c.m[2][2] * b)};
}

const Forward& forward() {
  static const Forward f;
  return f;
}
const Backward& backward() {
  static const Backward b;
  return b;
}

// Converts 2x2 chroma blocks [cx0, cx1) of block row cy: each pixel of the
// block with the block's chroma; the block's new chroma is that of the mean of
// its converted colours.
template <typename Conversion>
void convertBlockRow(const Conversion& convert, const platform::PixelBuffer& src,
                     const platform::PixelBuffer::Plane& dY, const platform::PixelBuffer::Plane& dUV, int cy, int cx0,
                     int cx1) {
  using In = typename Conversion::In;
  using Out = typename Conversion::Out;
  constexpr int bits = Conversion::kCodeBits;
  const auto sY = src.plane(0), sUV = src.plane(1);
  const int width = src.width(), height = src.height();
  // Composed pictures are mostly flat: a pixel like the one before reuses its colour.
  int lastKey = -1;
  Rgb last{};
  const auto* uv = reinterpret_cast<const In*>(sUV.data + static_cast<size_t>(cy) * sUV.bytesPerRow);
  auto* out = reinterpret_cast<Out*>(dUV.data + static_cast<size_t>(cy) * dUV.bytesPerRow);
  for (int cx = cx0; cx < cx1; ++cx) {
    const int cb = Conversion::code(uv[2 * cx]), cr = Conversion::code(uv[2 * cx + 1]);
    const int red = convert.redOfCr[cr], green = convert.greenOfCb[cb] + convert.greenOfCr[cr],
              blue = convert.blueOfCb[cb];
    float sr = 0, sg = 0, sb = 0;
    int n = 0;
    for (int dy = 0; dy < 2; ++dy) {
      const int y = 2 * cy + dy;
      if (y >= height) break;
      const auto* luma = reinterpret_cast<const In*>(sY.data + static_cast<size_t>(y) * sY.bytesPerRow);
      auto* lumaOut = reinterpret_cast<Out*>(dY.data + static_cast<size_t>(y) * dY.bytesPerRow);
      for (int dx = 0; dx < 2; ++dx) {
        const int x = 2 * cx + dx;
        if (x >= width) break;
        const int code = Conversion::code(luma[x]);
        const int key = code | cb << bits | cr << 2 * bits;
        if (key != lastKey) last = convertPixel(convert, code, red, green, blue), lastKey = key;
        const Rgb& c = last;
        lumaOut[x] =
            Conversion::lumaCode(Conversion::kRed * c.r + Conversion::kGreen * c.g + Conversion::kBlue * c.b);
        sr += c.r, sg += c.g, sb += c.b;
        ++n;
      }
    }
    sr /= n, sg /= n, sb /= n;
    const float l = Conversion::kRed * sr + Conversion::kGreen * sg + Conversion::kBlue * sb;
    out[2 * cx] = Conversion::chromaCode((sb - l) / Conversion::kPb);
    out[2 * cx + 1] = Conversion::chromaCode((sr - l) / Conversion::kPr);
  }
}

template <typename Conversion>
void convertBlocks(const Conversion& convert, const platform::PixelBuffer& src, platform::PixelBuffer& dst) {
  const auto uv = src.plane(1);
  const auto dY = dst.plane(0), dUV = dst.plane(1);
  for (int cy = 0; cy < uv.height; ++cy) convertBlockRow(convert, src, dY, dUV, cy, 0, uv.width);
}

// Coefficients of a polynomial of the given degree through f at Chebyshev
// nodes of [lo, hi], in powers of x itself (lowest first): close to the best
// polynomial of that degree, and cheap to evaluate.
template <int kDegree, typename F>
std::array<float, kDegree + 1> polynomialOf(F f, double lo, double hi) {
  constexpr int n = kDegree + 1;
  std::array<double, n> cheb{}, power{};
  for (int j = 0; j < n; ++j) {
    for (int k = 0; k < n; ++k) {
      const double angle = M_PI * (k + 0.5) / n;
      cheb[j] += 2.0 / n * f((std::cos(angle) * (hi - lo) + lo + hi) / 2) * std::cos(j * angle);
    }
  }
  cheb[0] /= 2;
  // Sum of cheb[j] T_j(t) with t = a x + b, accumulated as a polynomial in x.
  const double a = 2 / (hi - lo), b = -(lo + hi) / (hi - lo);
  std::array<double, n> previous{}, current{};  // T_{j-1}, T_j in powers of x
  previous[0] = 1;
  current[0] = b, current[1] = a;
  power[0] = cheb[0];
  for (int i = 0; i < n; ++i) power[i] += (n > 1 ? cheb[1] : 0) * current[i];
  for (int j = 2; j < n; ++j) {
    std::array<double, n> next{};
    for (int i = 0; i < n; ++i) {
      next[i] = 2 * b * current[i] - previous[i];
      if (i > 0) next[i] += 2 * a * current[i - 1];
    }
    previous = current, current = next;
    for (int i = 0; i < n; ++i) power[i] += cheb[j] * current[i];
  }
  std::array<float, n> out{};
  for (int i = 0; i < n; ++i) out[i] = static_cast<float>(power[i]);
  return out;
}

// The way up computed, eight pixels at a time, with no table: BT.709's curve
// above its linear toe and the log part of HLG are polynomials (each within a
// tenth of a 10-bit code), HLG's square-root part the processor's reciprocal
// square root (within a third of a code). A few constants, no memory to speak of.
struct VectorForward {
  // A constant in every lane, so that arithmetic reads it from memory as it is.
  struct alignas(32) Lanes {
    float v[8];
  };
  template <size_t n>
  static std::array<Lanes, n> lanes(const std::array<float, n>& c) {
    std::array<Lanes, n> out{};
    for (size_t i = 0; i < n; ++i) std::fill(std::begin(out[i].v), std::end(out[i].v), c[i]);
    return out;
  }

  static constexpr float kToe = 0.081f;
  // Scene light of a BT.709 signal above its toe.
  std::array<Lanes, 5> light = lanes(polynomialOf<4>(bt709InverseOETF, kToe, 1.0));
  // HLG signal above its square-root part, by that root: sqrt(3 e), 0.5 at the knee.
  static constexpr float kKnee = 0.5f;
  std::array<Lanes, 5> signal = lanes(polynomialOf<4>([](double s) { return hlgOETF(s * s / 3); }, kKnee,
                                                      std::sqrt(3 * kReferenceWhite) * 1.001));
  Lanes m[3][3];  // BT.709 light to three times BT.2020 light at reference white

  VectorForward() {
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        std::fill(std::begin(m[i][j].v), std::end(m[i][j].v),
                  static_cast<float>(3 * k709To2020[i][j] * kReferenceWhite));
  }
};

const VectorForward& vectorForward() {
  static const VectorForward f;
  return f;
}

struct Signals {
  __m256 r, g, b;
};

[[gnu::target("avx2,fma")]] inline __m256 broadcastLanes(const VectorForward::Lanes& c) {
  return _mm256_load_ps(c.v);
}

[[gnu::target("avx2,fma")]] inline __m256 horner(const std::array<VectorForward::Lanes, 5>& c, __m256 x) {
  __m256 p = _mm256_fmadd_ps(broadcastLanes(c[4]), x, broadcastLanes(c[3]));
  p = _mm256_fmadd_ps(p, x, broadcastLanes(c[2]));
  p = _mm256_fmadd_ps(p, x, broadcastLanes(c[1]));
  return _mm256_fmadd_ps(p, x, broadcastLanes(c[0]));
}

// Scene light of BT.709 signals (clipped to 0...1): the linear toe below 0.081.
[[gnu::target("avx2,fma")]] inline __m256 lightOf(const VectorForward& f, __m256 v) {
  const __m256 toe = _mm256_max_ps(_mm256_mul_ps(v, _mm256_set1_ps(1 / 4.5f)), _mm256_setzero_ps());
  return _mm256_blendv_ps(horner(f.light, _mm256_min_ps(v, _mm256_set1_ps(1))), toe,
                          _mm256_cmp_ps(v, _mm256_set1_ps(VectorForward::kToe), _CMP_LT_OQ));
}

// HLG signal of three times scene light (scaled to reference white, never
// negative): its square root up to the knee, the polynomial above.
[[gnu::target("avx2,fma")]] inline __m256 signalOf(const VectorForward& f, __m256 e3) {
  e3 = _mm256_add_ps(e3, _mm256_set1_ps(1e-12f));  // no zero for the reciprocal
  const __m256 root = _mm256_mul_ps(e3, _mm256_rsqrt_ps(e3));
  return _mm256_blendv_ps(horner(f.signal, root), root,
                          _mm256_cmp_ps(root, _mm256_set1_ps(VectorForward::kKnee), _CMP_LE_OQ));
}

// One row of a matrix times (r, g, b).
[[gnu::target("avx2,fma")]] inline __m256 matrixRow(const VectorForward::Lanes (&k)[3], __m256 r, __m256 g,
                                                     __m256 b) {
  return _mm256_fmadd_ps(broadcastLanes(k[0]), r,
                         _mm256_fmadd_ps(broadcastLanes(k[1]), g, _mm256_mul_ps(broadcastLanes(k[2]), b)));
}

// Sums of the four pixels of each of eight blocks, from the sums of their
// lines: a of the first four blocks, b of the next four.
[[gnu::target("avx2,fma")]] inline __m256 blockSums(__m256 a, __m256 b) {
  const __m256 pairsSummed = _mm256_hadd_ps(a, b);
  return _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(pairsSummed), 0xD8));
}

// HLG R'G'B' of eight pixels: their luma (0...1) with their blocks' chroma
// shares of R', G' and B'.
[[gnu::target("avx2,fma")]] inline Signals signalsOf(const VectorForward& f, __m256 y, __m256 red, __m256 green,
                                                     __m256 blue) {
  const __m256 r = lightOf(f, _mm256_add_ps(y, red)), g = lightOf(f, _mm256_add_ps(y, green)),
               b = lightOf(f, _mm256_add_ps(y, blue));
  return {signalOf(f, matrixRow(f.m[0], r, g, b)), signalOf(f, matrixRow(f.m[1], r, g, b)),
          signalOf(f, matrixRow(f.m[2], r, g, b))};
}

// 10-bit video-range luma codes of eight pixels, in the high bits of 32.
[[gnu::target("avx2,fma")]] inline __m256i lumaCodes(const Signals& s) {
  const __m256 code =
      _mm256_fmadd_ps(_mm256_set1_ps(876 * Forward::kRed), s.r,
                      _mm256_fmadd_ps(_mm256_set1_ps(876 * Forward::kGreen), s.g,
                                      _mm256_fmadd_ps(_mm256_set1_ps(876 * Forward::kBlue), s.b, _mm256_set1_ps(64))));
  return _mm256_slli_epi32(_mm256_cvtps_epi32(code), 6);
}

// Eight luma bytes as signal in 0...1 (video range).
[[gnu::target("avx2,fma")]] inline __m256 lumaSignals(__m128i bytes) {
  return _mm256_fmadd_ps(_mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes)), _mm256_set1_ps(1 / 219.0f),
                         _mm256_set1_ps(-16 / 219.0f));
}

// Per-pixel values of a pair of lines, kept between the passes over them.
struct LineScratch {
  explicit LineScratch(int width) : values(static_cast<size_t>(6) * stride(width)) {}
  static size_t stride(int width) { return (static_cast<size_t>(width) + 15) / 16 * 16; }
  float* at(int i, int width) { return values.data() + i * stride(width); }
  std::vector<float> values;
};

// Whole 2x2 blocks of a pair of lines, in short passes (a long loop body keeps
// the processor from overlapping its iterations): the blocks' chroma as
// per-pixel shares of R', G', B'; each line's pixels to their luma codes,
// summing the two lines' colours; eight blocks' chroma from those sums. The
// number of blocks done, eight at a time; the rest are left to the caller.
[[gnu::target("avx2,fma")]] int convertWholeBlocks(const uint8_t* uv, const uint8_t* in0, const uint8_t* in1,
                                                   uint16_t* out0, uint16_t* out1, uint16_t* out, int blocks,
                                                   LineScratch& scratch, int width) {
  const VectorForward& f = vectorForward();
  const int done = blocks / 8 * 8;
  float *red = scratch.at(0, width), *green = scratch.at(1, width), *blue = scratch.at(2, width);
  float *sumR = scratch.at(3, width), *sumG = scratch.at(4, width), *sumB = scratch.at(5, width);
  const __m256i left = _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3), right = _mm256_setr_epi32(4, 4, 5, 5, 6, 6, 7, 7);
  const __m128i split = _mm_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
  for (int cx = 0; cx < done; cx += 8) {
    const __m128i pairs = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(uv + 2 * cx)), split);
    const __m256 pb = _mm256_fmadd_ps(_mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(pairs)), _mm256_set1_ps(1 / 224.0f),
                                      _mm256_set1_ps(-128 / 224.0f));
    const __m256 pr = _mm256_fmadd_ps(_mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_srli_si128(pairs, 8))),
                                      _mm256_set1_ps(1 / 224.0f), _mm256_set1_ps(-128 / 224.0f));
    const __m256 r = _mm256_mul_ps(pr, _mm256_set1_ps(1.5748f)),
                 g = _mm256_fmadd_ps(pb, _mm256_set1_ps(-0.187324f), _mm256_mul_ps(pr, _mm256_set1_ps(-0.468124f))),
                 b = _mm256_mul_ps(pb, _mm256_set1_ps(1.8556f));
    // Each block's share twice, for its two columns.
    _mm256_storeu_ps(red + 2 * cx, _mm256_permutevar8x32_ps(r, left));
    _mm256_storeu_ps(red + 2 * cx + 8, _mm256_permutevar8x32_ps(r, right));
    _mm256_storeu_ps(green + 2 * cx, _mm256_permutevar8x32_ps(g, left));
    _mm256_storeu_ps(green + 2 * cx + 8, _mm256_permutevar8x32_ps(g, right));
    _mm256_storeu_ps(blue + 2 * cx, _mm256_permutevar8x32_ps(b, left));
    _mm256_storeu_ps(blue + 2 * cx + 8, _mm256_permutevar8x32_ps(b, right));
  }
  for (int line = 0; line < 2; ++line) {
    const uint8_t* in = line ? in1 : in0;
    uint16_t* lumaOut = line ? out1 : out0;
    for (int x = 0; x < 2 * done; x += 8) {
      const Signals s = signalsOf(f, lumaSignals(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + x))),
                                  _mm256_loadu_ps(red + x), _mm256_loadu_ps(green + x), _mm256_loadu_ps(blue + x));
      // Eight codes of 32 bits to 16, in order.
      const __m256i codes = lumaCodes(s);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(lumaOut + x),
                       _mm_packus_epi32(_mm256_castsi256_si128(codes), _mm256_extracti128_si256(codes, 1)));
      if (line) {
        _mm256_storeu_ps(sumR + x, _mm256_add_ps(s.r, _mm256_loadu_ps(sumR + x)));
        _mm256_storeu_ps(sumG + x, _mm256_add_ps(s.g, _mm256_loadu_ps(sumG + x)));
        _mm256_storeu_ps(sumB + x, _mm256_add_ps(s.b, _mm256_loadu_ps(sumB + x)));
      } else {
        _mm256_storeu_ps(sumR + x, s.r);
        _mm256_storeu_ps(sumG + x, s.g);
        _mm256_storeu_ps(sumB + x, s.b);
      }
    }
  }
  for (int cx = 0; cx < done; cx += 8) {
    // A block's chroma: that of the sum of its four pixels' colours.
    const __m256 sr = blockSums(_mm256_loadu_ps(sumR + 2 * cx), _mm256_loadu_ps(sumR + 2 * cx + 8)),
                 sg = blockSums(_mm256_loadu_ps(sumG + 2 * cx), _mm256_loadu_ps(sumG + 2 * cx + 8)),
                 sb = blockSums(_mm256_loadu_ps(sumB + 2 * cx), _mm256_loadu_ps(sumB + 2 * cx + 8));
    const __m256 l = _mm256_fmadd_ps(_mm256_set1_ps(Forward::kRed), sr,
                                     _mm256_fmadd_ps(_mm256_set1_ps(Forward::kGreen), sg,
                                                     _mm256_mul_ps(_mm256_set1_ps(Forward::kBlue), sb)));
    const __m256i cb = _mm256_cvtps_epi32(
        _mm256_fmadd_ps(_mm256_sub_ps(sb, l), _mm256_set1_ps(896 / (4 * Forward::kPb)), _mm256_set1_ps(512)));
    const __m256i cr = _mm256_cvtps_epi32(
        _mm256_fmadd_ps(_mm256_sub_ps(sr, l), _mm256_set1_ps(896 / (4 * Forward::kPr)), _mm256_set1_ps(512)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * cx),
                        _mm256_or_si256(_mm256_slli_epi32(cb, 6), _mm256_slli_epi32(cr, 22)));
  }
  return done;
}

// An 8-bit BT.709 picture into 10-bit HLG planes of at least its size: whole
// blocks eight at a time where the processor has vectors, the rest one by one.
void convertForward(const platform::PixelBuffer& src, const platform::PixelBuffer::Plane& dY,
                    const platform::PixelBuffer::Plane& dUV) {
  static const bool vectors = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  const auto sY = src.plane(0), sUV = src.plane(1);
  const int width = src.width(), height = src.height();
  LineScratch scratch(vectors ? width : 0);
  for (int cy = 0; cy < sUV.height; ++cy) {
    int cx = 0;
    if (vectors && 2 * cy + 1 < height) {
      const int y0 = 2 * cy;
      cx = convertWholeBlocks(
          sUV.data + static_cast<size_t>(cy) * sUV.bytesPerRow, sY.data + static_cast<size_t>(y0) * sY.bytesPerRow,
          sY.data + static_cast<size_t>(y0 + 1) * sY.bytesPerRow,
          reinterpret_cast<uint16_t*>(dY.data + static_cast<size_t>(y0) * dY.bytesPerRow),
          reinterpret_cast<uint16_t*>(dY.data + static_cast<size_t>(y0 + 1) * dY.bytesPerRow),
          reinterpret_cast<uint16_t*>(dUV.data + static_cast<size_t>(cy) * dUV.bytesPerRow), width / 2, scratch,
          width);
    }
    convertBlockRow(forward(), src, dY, dUV, cy, cx, sUV.width);
  }
}

}  // namespace

std::array<double, 3> hlgFromBT709(const std::array<double, 3>& rgb709) {
  std::array<double, 3> light{};
  for (int i = 0; i < 3; ++i) light[i] = bt709InverseOETF(unit(rgb709[i]));
  auto wide = times(k709To2020, light);
  for (auto& v : wide) v = hlgOETF(unit(v * kReferenceWhite));
  return wide;
}

std::array<double, 3> bt709FromHLG(const std::array<double, 3>& rgbHLG) {
  std::array<double, 3> light{};
  for (int i = 0; i < 3; ++i) light[i] = hlgInverseOETF(unit(rgbHLG[i])) / kReferenceWhite;
  auto narrow = times(k2020To709, light);
  for (auto& v : narrow) v = bt709OETF(unit(v));
  return narrow;
}

bool isHLG(const platform::PixelBuffer& picture) {
  return picture.colorAttachments().transfer == platform::TransferFunction::itu_r_2100_hlg;
}

bool convertBT709ToHLG(const platform::PixelBuffer& src, platform::PixelBuffer& dst) {
  if (src.format() != platform::PixelFormat::nv12VideoRange || dst.format() != platform::PixelFormat::p010 ||
      src.width() != dst.width() || src.height() != dst.height())
    return false;
  convertForward(src, dst.plane(0), dst.plane(1));
  dst.setColorAttachments({platform::YCbCrMatrix::itu_r_2020, platform::ColorPrimaries::itu_r_2020,
                           platform::TransferFunction::itu_r_2100_hlg, platform::AttachmentMode::shouldPropagate});
  return true;
}

bool convertBT709ToHLG(const platform::PixelBuffer& src, platform::PixelBuffer& dst, long x, long y) {
  if (src.format() != platform::PixelFormat::nv12VideoRange || dst.format() != platform::PixelFormat::p010 ||
      x < 0 || y < 0 || x % 2 || y % 2 || x + src.width() > dst.width() || y + src.height() > dst.height())
    return false;
  auto dY = dst.plane(0), dUV = dst.plane(1);
  dY.data += static_cast<size_t>(y) * dY.bytesPerRow + static_cast<size_t>(x) * 2;
  dUV.data += static_cast<size_t>(y / 2) * dUV.bytesPerRow + static_cast<size_t>(x / 2) * 4;
  dY.width -= static_cast<int>(x), dY.height -= static_cast<int>(y);
  dUV.width -= static_cast<int>(x / 2), dUV.height -= static_cast<int>(y / 2);
  convertForward(src, dY, dUV);
  return true;
}

platform::PixelBufferRef convertHLGToBT709(const platform::PixelBuffer& src) {
  if (src.format() != platform::PixelFormat::p010) return nullptr;
  auto dst = platform::PixelBuffer::make(src.width(), src.height(), platform::PixelFormat::nv12VideoRange);
  if (!dst) return nullptr;
  convertBlocks(backward(), src, *dst);
  dst->setColorAttachments(platform::ColorAttachments::bt709());
  return dst;
}

}  // namespace medley
