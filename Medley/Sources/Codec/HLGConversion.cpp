#include "Medley/Sources/Codec/HLGConversion.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <new>
#include <vector>

#include <immintrin.h>
#include <sys/mman.h>

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

// BT.709 to HLG per pixel, as a table filled as colours appear. A pixel's
// result depends on its luma and its block's chroma; for each chroma pair a row
// holds, for every luma code, the pixel's 10-bit luma code and its share of the
// block's HLG chroma (in half codes), so converting a pixel is one look-up. The
// block's chroma is the mean of its pixels' shares, as the mean of their colours
// would give, the sums being linear. The rows lie in one reserved range, in
// large pages (a picture's rows are then a few page-table entries, not one per
// row); the system commits only the pages of the pairs that pictures use, all
// of them at most 64 MiB. Shared by every thread: rows are published once,
// whole, and never change.
class ForwardRows {
 public:
  ForwardRows() {
    void* p = mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    madvise(p, kBytes, MADV_HUGEPAGE);
    table_ = static_cast<uint32_t*>(p);
  }
  ForwardRows(const ForwardRows&) = delete;
  ForwardRows& operator=(const ForwardRows&) = delete;

  const uint32_t* row(int cb, int cr) {
    const int pair = cb << 8 | cr;
    if (!filled_[pair].load(std::memory_order_acquire)) [[unlikely]]
      fill(cb, cr);
    return table_ + static_cast<size_t>(pair) * 256;
  }

  // The first row; a pair's row starts 256 entries per pair on.
  const uint32_t* table() const { return table_; }
  // Where a pixel's entry lies, filled or not, for reading ahead.
  const uint32_t* entry(int cb, int cr, int y) const { return table_ + (static_cast<size_t>(cb << 8 | cr) << 8 | y); }

  static int luma(uint32_t e) { return static_cast<int>(e & 1023); }
  static int cbHalves(uint32_t e) { return static_cast<int>(e >> 10 & 2047); }
  static int crHalves(uint32_t e) { return static_cast<int>(e >> 21); }

 private:
  static constexpr size_t kBytes = size_t{256} * 256 * 256 * sizeof(uint32_t);

  [[gnu::noinline]] void fill(int cb, int cr) {
    std::lock_guard lock(mutex_);
    const int pair = cb << 8 | cr;
    if (filled_[pair].load(std::memory_order_relaxed)) return;
    uint32_t* r = table_ + static_cast<size_t>(pair) * 256;
    const Forward& f = forward();
    const int red = f.redOfCr[cr], green = f.greenOfCb[cb] + f.greenOfCr[cr], blue = f.blueOfCb[cb];
    auto code = [](float v, float offset, float range, int top) {
      return static_cast<uint32_t>(std::clamp(static_cast<int>(offset + range * v + 0.5f), 0, top));
    };
    for (int y = 0; y < 256; ++y) {
      const Rgb c = convertPixel(f, y, red, green, blue);
      const float l = Forward::kRed * c.r + Forward::kGreen * c.g + Forward::kBlue * c.b;
      r[y] = code(l, 64, 876, 1023) | code((c.b - l) / Forward::kPb, 1024, 1792, 2047) << 10 |
             code((c.r - l) / Forward::kPr, 1024, 1792, 2047) << 21;
    }
    filled_[pair].store(true, std::memory_order_release);
  }

  uint32_t* table_ = nullptr;
  std::atomic<bool> filled_[256 * 256]{};
  std::mutex mutex_;
};

// Never destroyed: a picture may still be converted while the program ends.
ForwardRows& forwardRows() {
  static ForwardRows& rows = *new ForwardRows;
  return rows;
}

// Whole 2x2 blocks of a pair of lines, eight at a time, with the processor's
// vector gathers where it has them (a look-up per pixel is what the conversion
// costs). The number of blocks done; the rest are left to the caller.
[[gnu::target("avx2")]] int convertEightBlocksAtOnce(ForwardRows& rows, const uint8_t* uv, const uint8_t* in0,
                                                     const uint8_t* in1, uint16_t* out0, uint16_t* out1,
                                                     uint16_t* out, int blocks) {
  const auto* table = reinterpret_cast<const int*>(rows.table());
  const __m256i left = _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3), right = _mm256_setr_epi32(4, 4, 5, 5, 6, 6, 7, 7);
  const __m256i lumaMask = _mm256_set1_epi32(1023), halvesMask = _mm256_set1_epi32(2047),
                half = _mm256_set1_epi32(4), top = _mm256_set1_epi32(1023);
  int cx = 0;
  for (; cx + 8 <= blocks; cx += 8) {
    for (int k = 0; k < 8; ++k) rows.row(uv[2 * (cx + k)], uv[2 * (cx + k) + 1]);  // made before they are read
    // Pairs (cb, cr) as cb << 8 | cr, then the first entry of each pair's row.
    const __m128i pairs = _mm_loadu_si128(reinterpret_cast<const __m128i*>(uv + 2 * cx));
    const __m128i swapped = _mm_or_si128(_mm_slli_epi16(pairs, 8), _mm_srli_epi16(pairs, 8));
    const __m256i base = _mm256_slli_epi32(_mm256_cvtepu16_epi32(swapped), 8);
    const __m256i baseLeft = _mm256_permutevar8x32_epi32(base, left),
                  baseRight = _mm256_permutevar8x32_epi32(base, right);
    const __m128i line0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in0 + 2 * cx));
    const __m128i line1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in1 + 2 * cx));
    const __m256i e00 = _mm256_i32gather_epi32(table, _mm256_add_epi32(baseLeft, _mm256_cvtepu8_epi32(line0)), 4);
    const __m256i e01 = _mm256_i32gather_epi32(
        table, _mm256_add_epi32(baseRight, _mm256_cvtepu8_epi32(_mm_srli_si128(line0, 8))), 4);
    const __m256i e10 = _mm256_i32gather_epi32(table, _mm256_add_epi32(baseLeft, _mm256_cvtepu8_epi32(line1)), 4);
    const __m256i e11 = _mm256_i32gather_epi32(
        table, _mm256_add_epi32(baseRight, _mm256_cvtepu8_epi32(_mm_srli_si128(line1, 8))), 4);
    // Luma codes into the high bits of 16, in order (packing interleaves the 128-bit halves).
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out0 + 2 * cx),
                        _mm256_permute4x64_epi64(_mm256_packus_epi32(_mm256_slli_epi32(_mm256_and_si256(e00, lumaMask), 6),
                                                                     _mm256_slli_epi32(_mm256_and_si256(e01, lumaMask), 6)),
                                                 0xD8));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out1 + 2 * cx),
                        _mm256_permute4x64_epi64(_mm256_packus_epi32(_mm256_slli_epi32(_mm256_and_si256(e10, lumaMask), 6),
                                                                     _mm256_slli_epi32(_mm256_and_si256(e11, lumaMask), 6)),
                                                 0xD8));
    // A block's chroma: the sum of its four pixels' halves, to the nearest code.
    const __m256i cbLeft = _mm256_add_epi32(_mm256_and_si256(_mm256_srli_epi32(e00, 10), halvesMask),
                                            _mm256_and_si256(_mm256_srli_epi32(e10, 10), halvesMask));
    const __m256i cbRight = _mm256_add_epi32(_mm256_and_si256(_mm256_srli_epi32(e01, 10), halvesMask),
                                             _mm256_and_si256(_mm256_srli_epi32(e11, 10), halvesMask));
    const __m256i crLeft = _mm256_add_epi32(_mm256_srli_epi32(e00, 21), _mm256_srli_epi32(e10, 21));
    const __m256i crRight = _mm256_add_epi32(_mm256_srli_epi32(e01, 21), _mm256_srli_epi32(e11, 21));
    const __m256i cbSums = _mm256_permute4x64_epi64(_mm256_hadd_epi32(cbLeft, cbRight), 0xD8);
    const __m256i crSums = _mm256_permute4x64_epi64(_mm256_hadd_epi32(crLeft, crRight), 0xD8);
    const __m256i cb = _mm256_min_epi32(_mm256_srli_epi32(_mm256_add_epi32(cbSums, half), 3), top);
    const __m256i cr = _mm256_min_epi32(_mm256_srli_epi32(_mm256_add_epi32(crSums, half), 3), top);
    const __m256i chroma = _mm256_or_si256(_mm256_slli_epi32(cb, 6), _mm256_slli_epi32(cr, 22));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * cx), chroma);
  }
  return cx;
}

// An 8-bit BT.709 picture into a 10-bit HLG one of the same size, through the rows.
void convertBlocksThroughRows(const platform::PixelBuffer& src, platform::PixelBuffer& dst) {
  constexpr int kAhead = 32;
  static const bool vectors = __builtin_cpu_supports("avx2");
  ForwardRows& rows = forwardRows();
  const auto sY = src.plane(0), sUV = src.plane(1), dY = dst.plane(0), dUV = dst.plane(1);
  const int width = src.width(), height = src.height();
  auto chroma = [](int halves, int n) { return static_cast<uint16_t>(std::min(1023, (halves + n) / (2 * n)) << 6); };
  for (int cy = 0; cy < sUV.height; ++cy) {
    const uint8_t* uv = sUV.data + static_cast<size_t>(cy) * sUV.bytesPerRow;
    auto* out = reinterpret_cast<uint16_t*>(dUV.data + static_cast<size_t>(cy) * dUV.bytesPerRow);
    const int y0 = 2 * cy, lines = std::min(2, height - y0);
    const uint8_t* in0 = sY.data + static_cast<size_t>(y0) * sY.bytesPerRow;
    const uint8_t* in1 = sY.data + static_cast<size_t>(y0 + lines - 1) * sY.bytesPerRow;
    auto* out0 = reinterpret_cast<uint16_t*>(dY.data + static_cast<size_t>(y0) * dY.bytesPerRow);
    auto* out1 = reinterpret_cast<uint16_t*>(dY.data + static_cast<size_t>(y0 + lines - 1) * dY.bytesPerRow);
    const uint32_t* row = nullptr;
    // Whole 2x2 blocks; a last odd column or row is done below.
    const int whole = lines == 2 ? width / 2 : 0;
    int cx = vectors && whole >= 8 ? convertEightBlocksAtOnce(rows, uv, in0, in1, out0, out1, out, whole) : 0;
    for (; cx < whole; ++cx) {
      // Entries of colours far apart lie far apart: the ones a few blocks on
      // are asked for now, so that their loads overlap.
      if (cx + kAhead < whole) {
        const int ax = cx + kAhead;
        __builtin_prefetch(rows.entry(uv[2 * ax], uv[2 * ax + 1], in0[2 * ax]));
        __builtin_prefetch(rows.entry(uv[2 * ax], uv[2 * ax + 1], in1[2 * ax + 1]));
      }
      // Every block looks its row up: with noisy colours a test for the last
      // block's pair would be mispredicted about every other time.
      row = rows.row(uv[2 * cx], uv[2 * cx + 1]);
      const uint32_t a = row[in0[2 * cx]], b = row[in0[2 * cx + 1]], c = row[in1[2 * cx]], d = row[in1[2 * cx + 1]];
      out0[2 * cx] = static_cast<uint16_t>(ForwardRows::luma(a) << 6);
      out0[2 * cx + 1] = static_cast<uint16_t>(ForwardRows::luma(b) << 6);
      out1[2 * cx] = static_cast<uint16_t>(ForwardRows::luma(c) << 6);
      out1[2 * cx + 1] = static_cast<uint16_t>(ForwardRows::luma(d) << 6);
      out[2 * cx] = chroma(ForwardRows::cbHalves(a) + ForwardRows::cbHalves(b) + ForwardRows::cbHalves(c) +
                               ForwardRows::cbHalves(d),
                           4);
      out[2 * cx + 1] = chroma(ForwardRows::crHalves(a) + ForwardRows::crHalves(b) + ForwardRows::crHalves(c) +
                                   ForwardRows::crHalves(d),
                               4);
    }
    for (int cx = whole; cx < sUV.width; ++cx) {
      row = rows.row(uv[2 * cx], uv[2 * cx + 1]);
      const int x0 = 2 * cx, columns = std::min(2, width - x0);
      int cb = 0, cr = 0;
      for (int l = 0; l < lines; ++l)
        for (int dx = 0; dx < columns; ++dx) {
          const uint32_t e = row[(l ? in1 : in0)[x0 + dx]];
          (l ? out1 : out0)[x0 + dx] = static_cast<uint16_t>(ForwardRows::luma(e) << 6);
          cb += ForwardRows::cbHalves(e), cr += ForwardRows::crHalves(e);
        }
      out[2 * cx] = chroma(cb, lines * columns);
      out[2 * cx + 1] = chroma(cr, lines * columns);
    }
  }
}

// Converts a 4:2:0 picture a 2x2 chroma block at a time: each pixel of the
// block with the block's chroma; the block's new chroma is that of the mean of
// its converted colours.
template <typename Conversion>
void convertBlocks(const Conversion& convert, const platform::PixelBuffer& src, platform::PixelBuffer& dst) {
  using In = typename Conversion::In;
  using Out = typename Conversion::Out;
  constexpr int bits = Conversion::kCodeBits;
  const auto sY = src.plane(0), sUV = src.plane(1), dY = dst.plane(0), dUV = dst.plane(1);
  const int width = src.width(), height = src.height();
  // Composed pictures are mostly flat: a pixel like the one before reuses its colour.
  int lastKey = -1;
  Rgb last{};
  for (int cy = 0; cy < sUV.height; ++cy) {
    const auto* uv = reinterpret_cast<const In*>(sUV.data + static_cast<size_t>(cy) * sUV.bytesPerRow);
    auto* out = reinterpret_cast<Out*>(dUV.data + static_cast<size_t>(cy) * dUV.bytesPerRow);
    for (int cx = 0; cx < sUV.width; ++cx) {
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
  convertBlocksThroughRows(src, dst);
  dst.setColorAttachments({platform::YCbCrMatrix::itu_r_2020, platform::ColorPrimaries::itu_r_2020,
                           platform::TransferFunction::itu_r_2100_hlg, platform::AttachmentMode::shouldPropagate});
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
