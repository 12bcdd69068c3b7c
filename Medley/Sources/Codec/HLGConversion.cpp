#include "Medley/Sources/Codec/HLGConversion.h"

#include <algorithm>
#include <cmath>
#include <vector>

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

// BT.709 8-bit video range -> HLG R'G'B'.
struct Forward {
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
  float hlg(float e) const {
    return signal[clampIndex(static_cast<int>(std::sqrt(std::max(e, 0.0f)) * rootScale + 0.5f))];
  }
  Rgb operator()(int y, int red, int green, int blue) const {
    const float r = light[clampIndex(luma[y] + red)], g = light[clampIndex(luma[y] + green)],
                b = light[clampIndex(luma[y] + blue)];
    return {hlg(m[0][0] * r + m[0][1] * g + m[0][2] * b), hlg(m[1][0] * r + m[1][1] * g + m[1][2] * b),
            hlg(m[2][0] * r + m[2][1] * g + m[2][2] * b)};
  }
};

// HLG 10-bit video range -> BT.709 R'G'B'.
struct Backward {
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
  float bt709(float l) const { return signal[clampIndex(static_cast<int>(l * kUnit + 0.5f))]; }
  Rgb operator()(int y, int red, int green, int blue) const {
    const float r = light[clampIndex(luma[y] + red)], g = light[clampIndex(luma[y] + green)],
                b = light[clampIndex(luma[y] + blue)];
    return {bt709(m[0][0] * r + m[0][1] * g + m[0][2] * b), bt709(m[1][0] * r + m[1][1] * g + m[1][2] * b),
            bt709(m[2][0] * r + m[2][1] * g + m[2][2] * b)};
  }
};

const Forward& forward() {
  static const Forward f;
  return f;
}
const Backward& backward() {
  static const Backward b;
  return b;
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
  const auto sY = src.plane(0), sUV = src.plane(1), dY = dst.plane(0), dUV = dst.plane(1);
  const int width = src.width(), height = src.height();
  const Forward& toHLG = forward();
  // Composed pictures are mostly flat: a pixel like the one before reuses its colour.
  int lastKey = -1;
  Rgb last{};
  for (int cy = 0; cy < sUV.height; ++cy) {
    const uint8_t* uv = sUV.data + static_cast<size_t>(cy) * sUV.bytesPerRow;
    auto* out = reinterpret_cast<uint16_t*>(dUV.data + static_cast<size_t>(cy) * dUV.bytesPerRow);
    for (int cx = 0; cx < sUV.width; ++cx) {
      // Each pixel of the 2x2 block with the block's chroma; the block's new
      // chroma is that of the mean of its converted colours.
      float sr = 0, sg = 0, sb = 0;
      int n = 0;
      const int cb = uv[2 * cx], cr = uv[2 * cx + 1];
      const int red = toHLG.redOfCr[cr], green = toHLG.greenOfCb[cb] + toHLG.greenOfCr[cr], blue = toHLG.blueOfCb[cb];
      for (int dy = 0; dy < 2; ++dy) {
        const int y = 2 * cy + dy;
        if (y >= height) break;
        const uint8_t* luma = sY.data + static_cast<size_t>(y) * sY.bytesPerRow;
        auto* lumaOut = reinterpret_cast<uint16_t*>(dY.data + static_cast<size_t>(y) * dY.bytesPerRow);
        for (int dx = 0; dx < 2; ++dx) {
          const int x = 2 * cx + dx;
          if (x >= width) break;
          const int key = luma[x] | cb << 8 | cr << 16;
          if (key != lastKey) last = toHLG(luma[x], red, green, blue), lastKey = key;
          const Rgb& c = last;
          lumaOut[x] = code10(kR2020 * c.r + kG2020 * c.g + kB2020 * c.b, 64, 876);
          sr += c.r, sg += c.g, sb += c.b;
          ++n;
        }
      }
      sr /= n, sg /= n, sb /= n;
      const float l = kR2020 * sr + kG2020 * sg + kB2020 * sb;
      out[2 * cx] = code10((sb - l) / 1.8814f, 512, 896);
      out[2 * cx + 1] = code10((sr - l) / 1.4746f, 512, 896);
    }
  }
  dst.setColorAttachments({platform::YCbCrMatrix::itu_r_2020, platform::ColorPrimaries::itu_r_2020,
                           platform::TransferFunction::itu_r_2100_hlg, platform::AttachmentMode::shouldPropagate});
  return true;
}

platform::PixelBufferRef convertHLGToBT709(const platform::PixelBuffer& src) {
  if (src.format() != platform::PixelFormat::p010) return nullptr;
  auto dst = platform::PixelBuffer::make(src.width(), src.height(), platform::PixelFormat::nv12VideoRange);
  if (!dst) return nullptr;
  const auto sY = src.plane(0), sUV = src.plane(1), dY = dst->plane(0), dUV = dst->plane(1);
  const int width = src.width(), height = src.height();
  const Backward& toBT709 = backward();
  int lastKey = -1;
  Rgb last{};
  for (int cy = 0; cy < sUV.height; ++cy) {
    const auto* uv = reinterpret_cast<const uint16_t*>(sUV.data + static_cast<size_t>(cy) * sUV.bytesPerRow);
    uint8_t* out = dUV.data + static_cast<size_t>(cy) * dUV.bytesPerRow;
    for (int cx = 0; cx < sUV.width; ++cx) {
      const int cb = uv[2 * cx] >> 6, cr = uv[2 * cx + 1] >> 6;
      const int red = toBT709.redOfCr[cr], green = toBT709.greenOfCb[cb] + toBT709.greenOfCr[cr],
                blue = toBT709.blueOfCb[cb];
      float sr = 0, sg = 0, sb = 0;
      int n = 0;
      for (int dy = 0; dy < 2; ++dy) {
        const int y = 2 * cy + dy;
        if (y >= height) break;
        const auto* luma = reinterpret_cast<const uint16_t*>(sY.data + static_cast<size_t>(y) * sY.bytesPerRow);
        uint8_t* lumaOut = dY.data + static_cast<size_t>(y) * dY.bytesPerRow;
        for (int dx = 0; dx < 2; ++dx) {
          const int x = 2 * cx + dx;
          if (x >= width) break;
          const int key = luma[x] >> 6 | cb << 10 | cr << 20;
          if (key != lastKey) last = toBT709(luma[x] >> 6, red, green, blue), lastKey = key;
          const Rgb& c = last;
          lumaOut[x] = code8(kR709 * c.r + kG709 * c.g + kB709 * c.b, 16, 219);
          sr += c.r, sg += c.g, sb += c.b;
          ++n;
        }
      }
      sr /= n, sg /= n, sb /= n;
      const float l = kR709 * sr + kG709 * sg + kB709 * sb;
      out[2 * cx] = code8((sb - l) / 1.8556f, 128, 224);
      out[2 * cx + 1] = code8((sr - l) / 1.5748f, 128, 224);
    }
  }
  dst->setColorAttachments(platform::ColorAttachments::bt709());
  return dst;
}

}  // namespace medley
