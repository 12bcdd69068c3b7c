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

// A smooth curve over 0...1, tabulated and read with linear interpolation.
class Curve {
 public:
  template <typename F>
  explicit Curve(F f) : table_(kSize + 2) {
    for (size_t i = 0; i <= kSize; ++i) table_[i] = static_cast<float>(f(static_cast<double>(i) / kSize));
    table_[kSize + 1] = table_[kSize];
  }
  float operator()(float v) const {
    const float x = std::clamp(v, 0.0f, 1.0f) * kSize;
    const auto i = static_cast<size_t>(x);
    return table_[i] + (table_[i + 1] - table_[i]) * (x - static_cast<float>(i));
  }

 private:
  static constexpr size_t kSize = 4096;
  std::vector<float> table_;
};

// Standard signal to HLG signal per pixel; the square-root part of the HLG
// curve is computed, its steep start would need a very fine table.
struct Forward {
  Curve linear{bt709InverseOETF};
  Curve logPart{[](double e) { return hlgOETF(std::max(e, 1.0 / 12)); }};
  float hlg(float e) const { return e <= 1.0f / 12 ? std::sqrt(3 * std::max(e, 0.0f)) : logPart(e); }
};

struct Backward {
  Curve light{hlgInverseOETF};
  Curve signal{bt709OETF};
};

const Forward& forward() {
  static const Forward f;
  return f;
}
const Backward& backward() {
  static const Backward b;
  return b;
}

struct Rgb {
  float r, g, b;
};

// BT.709 video-range 8-bit to R'G'B'.
Rgb fromBT709(uint8_t y, uint8_t cb, uint8_t cr) {
  const float l = (y - 16) / 219.0f, pb = (cb - 128) / 224.0f, pr = (cr - 128) / 224.0f;
  return {l + 1.5748f * pr, l - 0.187324f * pb - 0.468124f * pr, l + 1.8556f * pb};
}

Rgb toHLG(const Rgb& s) {
  const auto& f = forward();
  const float r = f.linear(s.r), g = f.linear(s.g), b = f.linear(s.b);
  const float w = static_cast<float>(kReferenceWhite);
  const auto& m = k709To2020;
  return {f.hlg(w * static_cast<float>(m[0][0] * r + m[0][1] * g + m[0][2] * b)),
          f.hlg(w * static_cast<float>(m[1][0] * r + m[1][1] * g + m[1][2] * b)),
          f.hlg(w * static_cast<float>(m[2][0] * r + m[2][1] * g + m[2][2] * b))};
}

Rgb toBT709(const Rgb& s) {
  const auto& bw = backward();
  const float scale = static_cast<float>(1 / kReferenceWhite);
  const float r = bw.light(s.r) * scale, g = bw.light(s.g) * scale, b = bw.light(s.b) * scale;
  const auto& m = k2020To709;
  return {bw.signal(static_cast<float>(m[0][0] * r + m[0][1] * g + m[0][2] * b)),
          bw.signal(static_cast<float>(m[1][0] * r + m[1][1] * g + m[1][2] * b)),
          bw.signal(static_cast<float>(m[2][0] * r + m[2][1] * g + m[2][2] * b))};
}

// BT.2020 non-constant luminance.
constexpr float kR2020 = 0.2627f, kB2020 = 0.0593f, kG2020 = 1 - kR2020 - kB2020;
constexpr float kR709 = 0.2126f, kB709 = 0.0722f, kG709 = 1 - kR709 - kB709;

uint16_t code10(float v, float offset, float range) {
  return static_cast<uint16_t>(std::clamp(std::lround(offset + range * v), 0L, 1023L) << 6);
}
uint8_t code8(float v, float offset, float range) {
  return static_cast<uint8_t>(std::clamp(std::lround(offset + range * v), 0L, 255L));
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
  for (int cy = 0; cy < sUV.height; ++cy) {
    const uint8_t* uv = sUV.data + static_cast<size_t>(cy) * sUV.bytesPerRow;
    auto* out = reinterpret_cast<uint16_t*>(dUV.data + static_cast<size_t>(cy) * dUV.bytesPerRow);
    for (int cx = 0; cx < sUV.width; ++cx) {
      // Each pixel of the 2x2 block with the block's chroma; the block's new
      // chroma is that of the mean of its converted colours.
      float sr = 0, sg = 0, sb = 0;
      int n = 0;
      for (int dy = 0; dy < 2; ++dy) {
        const int y = 2 * cy + dy;
        if (y >= height) break;
        const uint8_t* luma = sY.data + static_cast<size_t>(y) * sY.bytesPerRow;
        auto* lumaOut = reinterpret_cast<uint16_t*>(dY.data + static_cast<size_t>(y) * dY.bytesPerRow);
        for (int dx = 0; dx < 2; ++dx) {
          const int x = 2 * cx + dx;
          if (x >= width) break;
          const Rgb c = toHLG(fromBT709(luma[x], uv[2 * cx], uv[2 * cx + 1]));
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
  for (int cy = 0; cy < sUV.height; ++cy) {
    const auto* uv = reinterpret_cast<const uint16_t*>(sUV.data + static_cast<size_t>(cy) * sUV.bytesPerRow);
    uint8_t* out = dUV.data + static_cast<size_t>(cy) * dUV.bytesPerRow;
    for (int cx = 0; cx < sUV.width; ++cx) {
      const float pb = ((uv[2 * cx] >> 6) - 512) / 896.0f, pr = ((uv[2 * cx + 1] >> 6) - 512) / 896.0f;
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
          const float l = ((luma[x] >> 6) - 64) / 876.0f;
          const float r = l + 1.4746f * pr, b = l + 1.8814f * pb;
          const float g = (l - kR2020 * r - kB2020 * b) / kG2020;
          const Rgb c = toBT709({r, g, b});
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
