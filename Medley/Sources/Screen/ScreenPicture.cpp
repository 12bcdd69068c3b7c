#include "Medley/Sources/Screen/ScreenPicture.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "Medley/Sources/Codec/HLGConversion.h"

namespace medley {
namespace {

template <typename Sample>
inline Sample mix(Sample s, Sample d, uint8_t a) {
  return static_cast<Sample>((uint32_t{s} * a + uint32_t{d} * (255 - a) + 127) / 255);
}

// Copies [from, to) of a row of `channels` samples per coverage sample (1 for
// luma, 2 for chroma pairs), blending outside the opaque run.
template <int channels, typename Sample>
void compositeRow(Sample* d, const Sample* s, const uint8_t* a, const AlphaPlanes::Run& run, int from, int to) {
  const int ob = std::clamp(run.begin, from, to), oe = std::clamp(run.end, ob, to);
  auto blend = [&](int b, int e) {
    for (int i = b; i < e; ++i)
      for (int k = 0; k < channels; ++k) d[channels * i + k] = mix(s[channels * i + k], d[channels * i + k], a[i]);
  };
  blend(from, ob);
  if (oe > ob)
    std::memcpy(d + ob * channels, s + ob * channels, static_cast<size_t>(oe - ob) * channels * sizeof(Sample));
  blend(oe, to);
}

// Both planes of a picture over a target of the same sample width.
template <typename Sample>
void composite(const platform::PixelBuffer& planes, const AlphaPlanes* alpha, platform::PixelBuffer& target, long px,
               long py, int sx0, int sx1, int sy0, int sy1) {
  const auto sY = planes.plane(0), sUV = planes.plane(1);
  const auto dY = target.plane(0), dUV = target.plane(1);
  for (int sy = sy0; sy < sy1; ++sy) {
    auto* d = reinterpret_cast<Sample*>(dY.data + static_cast<size_t>(py + sy) * dY.bytesPerRow) + px;
    const auto* s = reinterpret_cast<const Sample*>(sY.data + static_cast<size_t>(sy) * sY.bytesPerRow);
    if (!alpha)
      std::memcpy(d + sx0, s + sx0, static_cast<size_t>(sx1 - sx0) * sizeof(Sample));
    else
      compositeRow<1>(d, s, &alpha->luma[static_cast<size_t>(sy) * alpha->width], alpha->lumaRuns[sy], sx0, sx1);
  }
  const int cx0 = sx0 / 2, cx1 = std::min((sx1 + 1) / 2, dUV.width - static_cast<int>(px / 2));
  const int cy0 = sy0 / 2, cy1 = std::min((sy1 + 1) / 2, dUV.height - static_cast<int>(py / 2));
  for (int cy = cy0; cy < cy1; ++cy) {
    auto* d = reinterpret_cast<Sample*>(dUV.data + static_cast<size_t>(py / 2 + cy) * dUV.bytesPerRow) + px;
    const auto* s = reinterpret_cast<const Sample*>(sUV.data + static_cast<size_t>(cy) * sUV.bytesPerRow);
    if (!alpha)
      std::memcpy(d + 2 * cx0, s + 2 * cx0, static_cast<size_t>(cx1 - cx0) * 2 * sizeof(Sample));
    else
      compositeRow<2>(d, s, &alpha->chroma[static_cast<size_t>(cy) * alpha->chromaWidth()], alpha->chromaRuns[cy],
                      cx0, cx1);
  }
}

struct YCbCr8 {
  uint8_t y, cb, cr;
};

// Gamma-encoded 8-bit RGB to BT.709 video range.
inline double lumaOf(double r, double g, double b) { return 0.2126 * r + 0.7152 * g + 0.0722 * b; }
inline uint8_t clampByte(double v) { return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L)); }
inline uint8_t videoLuma(double yPrime) { return clampByte(16 + yPrime * 219.0 / 255.0); }
inline uint8_t videoCb(double b, double yPrime) { return clampByte(128 + (b - yPrime) / 1.8556 * 224.0 / 255.0); }
inline uint8_t videoCr(double r, double yPrime) { return clampByte(128 + (r - yPrime) / 1.5748 * 224.0 / 255.0); }

}  // namespace

void ScreenPicture::drawOver(platform::PixelBuffer& target, double x, double y) const {
  if (!planes || !target.isPlanar()) return;
  const bool tenBit = planes->format() == platform::PixelFormat::p010;
  if (tenBit != (target.format() == platform::PixelFormat::p010)) return;
  if (!std::isfinite(x) || !std::isfinite(y)) return;
  const long px = static_cast<long>(std::floor(x / 2)) * 2, py = static_cast<long>(std::floor(y / 2)) * 2;
  const int w = width(), h = height();
  const long x0 = std::max(0L, px), y0 = std::max(0L, py);
  const long x1 = std::min<long>(target.width(), px + w), y1 = std::min<long>(target.height(), py + h);
  if (x1 <= x0 || y1 <= y0) return;
  const int sx0 = static_cast<int>(x0 - px), sx1 = static_cast<int>(x1 - px);
  const int sy0 = static_cast<int>(y0 - py), sy1 = static_cast<int>(y1 - py);

  if (tenBit)
    composite<uint16_t>(*planes, alpha.get(), target, px, py, sx0, sx1, sy0, sy1);
  else
    composite<uint8_t>(*planes, alpha.get(), target, px, py, sx0, sx1, sy0, sy1);
}

std::shared_ptr<ScreenPicture> ScreenPicture::fromBGRA(const uint8_t* bgra, int stride, int width, int height,
                                                       bool premultiplied, platform::PixelBufferRef reuse) {
  if (width <= 0 || height <= 0) return nullptr;
  auto out = std::make_shared<ScreenPicture>();
  out->planes = reuse && reuse->width() == width && reuse->height() == height &&
                        reuse->format() == platform::PixelFormat::nv12VideoRange
                    ? std::move(reuse)
                    : platform::PixelBuffer::make(width, height, platform::PixelFormat::nv12VideoRange);
  if (!out->planes) return nullptr;
  const auto pY = out->planes->plane(0), pUV = out->planes->plane(1);
  std::vector<uint8_t> alpha(static_cast<size_t>(width) * height);
  // Straight colour of a sample, in 0...255.
  auto colour = [&](int x, int y, double& r, double& g, double& b) {
    const uint8_t* p = bgra + static_cast<size_t>(y) * stride + 4 * x;
    b = p[0], g = p[1], r = p[2];
    if (premultiplied) {
      const double a = p[3];
      if (a == 0) {
        r = g = b = 0;
      } else {
        r = std::min(255.0, r * 255 / a), g = std::min(255.0, g * 255 / a), b = std::min(255.0, b * 255 / a);
      }
    }
  };
  bool opaque = true;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      double r, g, b;
      colour(x, y, r, g, b);
      pY.data[static_cast<size_t>(y) * pY.bytesPerRow + x] = videoLuma(lumaOf(r, g, b));
      const uint8_t a = bgra[static_cast<size_t>(y) * stride + 4 * x + 3];
      alpha[static_cast<size_t>(y) * width + x] = a;
      opaque = opaque && a == 255;
    }
  }
  // Chroma of a 2 x 2 block weighted by coverage, so that transparent samples do not darken edges.
  for (int cy = 0; cy < (height + 1) / 2; ++cy) {
    for (int cx = 0; cx < (width + 1) / 2; ++cx) {
      double sr = 0, sg = 0, sb = 0, sa = 0;
      for (int dy = 0; dy < 2; ++dy)
        for (int dx = 0; dx < 2; ++dx) {
          const int x = std::min(2 * cx + dx, width - 1), y = std::min(2 * cy + dy, height - 1);
          double r, g, b;
          colour(x, y, r, g, b);
          const double a = bgra[static_cast<size_t>(y) * stride + 4 * x + 3] + 1e-3;
          sr += r * a, sg += g * a, sb += b * a, sa += a;
        }
      const double r = sr / sa, g = sg / sa, b = sb / sa, yp = lumaOf(r, g, b);
      uint8_t* d = pUV.data + static_cast<size_t>(cy) * pUV.bytesPerRow + 2 * cx;
      d[0] = videoCb(b, yp);
      d[1] = videoCr(r, yp);
    }
  }
  if (!opaque) out->alpha = AlphaPlanes::fromLuma(width, height, std::move(alpha));
  return out;
}

void fillColor(platform::PixelBuffer& target, double red, double green, double blue, double alpha) {
  if (!target.isPlanar()) return;
  const double a = std::clamp(alpha, 0.0, 1.0);
  if (target.format() == platform::PixelFormat::p010) {
    // The colour in the high-dynamic-range working space: BT.2020 HLG, 10 bits.
    const auto c = hlgFromBT709({std::clamp(red, 0.0, 1.0) * a, std::clamp(green, 0.0, 1.0) * a,
                                 std::clamp(blue, 0.0, 1.0) * a});
    const double l = 0.2627 * c[0] + 0.6780 * c[1] + 0.0593 * c[2];
    auto code = [](double v) { return static_cast<uint16_t>(std::clamp(std::lround(v), 0L, 1023L) << 6); };
    const uint16_t y = code(64 + 876 * l), cb = code(512 + 896 * (c[2] - l) / 1.8814),
                   cr = code(512 + 896 * (c[0] - l) / 1.4746);
    const auto pY = target.plane(0), pUV = target.plane(1);
    // The first row of each plane is filled sample by sample, every other row is
    // a block copy of it, as quick as the 8-bit fill per byte.
    const auto copyFirstRow = [](const platform::PixelBuffer::Plane& p, size_t bytes) {
      for (int row = 1; row < p.height; ++row)
        std::memcpy(p.data + static_cast<size_t>(row) * p.bytesPerRow, p.data, bytes);
    };
    if (pY.height > 0) {
      auto* d = reinterpret_cast<uint16_t*>(pY.data);
      std::fill(d, d + pY.width, y);
      copyFirstRow(pY, static_cast<size_t>(pY.width) * 2);
    }
    if (pUV.height > 0) {
      auto* d = reinterpret_cast<uint16_t*>(pUV.data);
      for (int i = 0; i < pUV.width; ++i) d[2 * i] = cb, d[2 * i + 1] = cr;
      copyFirstRow(pUV, static_cast<size_t>(pUV.width) * 4);
    }
    return;
  }
  const double r = std::clamp(red, 0.0, 1.0) * a * 255, g = std::clamp(green, 0.0, 1.0) * a * 255,
               b = std::clamp(blue, 0.0, 1.0) * a * 255;
  const double yp = lumaOf(r, g, b);
  const uint8_t y = videoLuma(yp), cb = videoCb(b, yp), cr = videoCr(r, yp);
  const auto pY = target.plane(0), pUV = target.plane(1);
  for (int row = 0; row < pY.height; ++row) std::memset(pY.data + static_cast<size_t>(row) * pY.bytesPerRow, y, pY.width);
  for (int row = 0; row < pUV.height; ++row) {
    uint8_t* d = pUV.data + static_cast<size_t>(row) * pUV.bytesPerRow;
    for (int i = 0; i < pUV.width; ++i) d[2 * i] = cb, d[2 * i + 1] = cr;
  }
}

}  // namespace medley
