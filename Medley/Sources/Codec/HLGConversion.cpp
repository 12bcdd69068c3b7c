#include "Medley/Sources/Codec/HLGConversion.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <vector>

#include "Medley/Sources/Codec/HLGCurves.h"
#include "Medley/Sources/Codec/HLGDownConversionKernel.h"
#include "Medley/Sources/Codec/HLGUpConversionKernel.h"

namespace medley {
namespace {

// Scene light of standard white in HLG.
const double kReferenceWhite = hlgReferenceWhite();

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
      for (int j = 0; j < 3; ++j) m[i][j] = static_cast<float>(kBT709ToBT2020[i][j] * kReferenceWhite);
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
      for (int j = 0; j < 3; ++j) m[i][j] = static_cast<float>(kBT2020ToBT709[i][j]);
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

std::atomic<bool> vectorKernelsAllowed{true};

bool processorHasVectors() {
  static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return has;
}

template <typename T>
T* rowOf(const platform::PixelBuffer::Plane& p, int row) {
  return reinterpret_cast<T*>(p.data + static_cast<size_t>(row) * p.bytesPerRow);
}

// A picture into another of the same size (or into a part of a larger one):
// whole blocks of each pair of lines through the vector kernel where the
// processor has vectors, the rest one by one.
template <typename Conversion, typename Kernel>
void convertRows(const Conversion& convert, Kernel kernel, const platform::PixelBuffer& src,
                 const platform::PixelBuffer::Plane& dY, const platform::PixelBuffer::Plane& dUV) {
  using In = typename Conversion::In;
  using Out = typename Conversion::Out;
  const bool vectors = processorHasVectors() && vectorKernelsAllowed.load(std::memory_order_relaxed);
  const auto sY = src.plane(0), sUV = src.plane(1);
  const int width = src.width(), height = src.height();
  for (int cy = 0; cy < sUV.height; ++cy) {
    int cx = 0;
    if (vectors && 2 * cy + 1 < height)
      cx = kernel(rowOf<const In>(sUV, cy), rowOf<const In>(sY, 2 * cy), rowOf<const In>(sY, 2 * cy + 1),
                  rowOf<Out>(dY, 2 * cy), rowOf<Out>(dY, 2 * cy + 1), rowOf<Out>(dUV, cy), width / 2);
    convertBlockRow(convert, src, dY, dUV, cy, cx, sUV.width);
  }
}

void convertForward(const platform::PixelBuffer& src, const platform::PixelBuffer::Plane& dY,
                    const platform::PixelBuffer::Plane& dUV) {
  convertRows(forward(), convertBT709ToHLGBlocks, src, dY, dUV);
}

}  // namespace

std::array<double, 3> hlgFromBT709(const std::array<double, 3>& rgb709) {
  std::array<double, 3> light{};
  for (int i = 0; i < 3; ++i) light[i] = bt709InverseOETF(unit(rgb709[i]));
  auto wide = times(kBT709ToBT2020, light);
  for (auto& v : wide) v = hlgOETF(unit(v * kReferenceWhite));
  return wide;
}

std::array<double, 3> bt709FromHLG(const std::array<double, 3>& rgbHLG) {
  std::array<double, 3> light{};
  for (int i = 0; i < 3; ++i) light[i] = hlgInverseOETF(unit(rgbHLG[i])) / kReferenceWhite;
  auto narrow = times(kBT2020ToBT709, light);
  for (auto& v : narrow) v = bt709OETF(unit(v));
  return narrow;
}

bool setHLGVectorKernelsAllowed(bool allowed) { return vectorKernelsAllowed.exchange(allowed); }

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
  convertRows(backward(), convertHLGToBT709Blocks, src, dst->plane(0), dst->plane(1));
  dst->setColorAttachments(platform::ColorAttachments::bt709());
  return dst;
}

}  // namespace medley
