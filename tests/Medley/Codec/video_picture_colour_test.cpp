// BGRA pictures given to the encoder become BT.709 video range, the matrix
// and range every 8-bit stream is tagged with.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>

#include "Medley/Sources/Codec/VideoPictureConverter.h"
#include "Platform/Media/PixelBuffer.h"

using medley::VideoPictureConverter;

namespace {

struct Bar {
  const char* name;
  std::array<uint8_t, 3> rgb;
  std::array<int, 3> ycbcr;  // BT.709, 8-bit video range
};

// Full-intensity colour bars and their BT.709 video-range codes.
constexpr std::array<Bar, 8> kBars{{
    {"white", {255, 255, 255}, {235, 128, 128}},
    {"yellow", {255, 255, 0}, {219, 16, 138}},
    {"cyan", {0, 255, 255}, {188, 154, 16}},
    {"green", {0, 255, 0}, {173, 42, 26}},
    {"magenta", {255, 0, 255}, {78, 214, 230}},
    {"red", {255, 0, 0}, {63, 102, 240}},
    {"blue", {0, 0, 255}, {32, 240, 118}},
    {"black", {0, 0, 0}, {16, 128, 128}},
}};

constexpr int kBarWidth = 16;

platform::PixelBufferRef colourBars(int height) {
  auto picture = platform::PixelBuffer::make(kBarWidth * int(kBars.size()), height, platform::PixelFormat::bgra);
  const auto plane = picture->plane(0);
  for (int row = 0; row < height; ++row)
    for (int x = 0; x < picture->width(); ++x) {
      const auto& rgb = kBars[x / kBarWidth].rgb;
      uint8_t* p = plane.data + row * plane.bytesPerRow + 4 * x;
      p[0] = rgb[2];
      p[1] = rgb[1];
      p[2] = rgb[0];
      p[3] = 255;
    }
  return picture;
}

}  // namespace

TEST(VideoPictureColourTest, BgraColourBarsBecomeBt709VideoRange) {
  const auto bars = colourBars(32);
  // The same size (conversion only) and a larger one (conversion, then scaling).
  for (const int scale : {1, 2}) {
    SCOPED_TRACE(scale);
    VideoPictureConverter converter(bars->width() * scale, bars->height() * scale, false,
                                    VideoPictureConverter::ScalingMode::normal);
    const auto out = converter.convert(bars);
    ASSERT_TRUE(out);
    ASSERT_EQ(out->format(), platform::PixelFormat::nv12VideoRange);
    const auto y = out->plane(0), uv = out->plane(1);
    for (std::size_t i = 0; i < kBars.size(); ++i) {
      const int x = (int(i) * kBarWidth + kBarWidth / 2) * scale, row = 16 * scale;
      const int got[3] = {y.data[row * y.bytesPerRow + x], uv.data[(row / 2) * uv.bytesPerRow + (x & ~1)],
                          uv.data[(row / 2) * uv.bytesPerRow + (x & ~1) + 1]};
      for (int c = 0; c < 3; ++c)
        EXPECT_LE(std::abs(got[c] - kBars[i].ycbcr[c]), 2) << kBars[i].name << " component " << c << ": " << got[c];
    }
  }
}
