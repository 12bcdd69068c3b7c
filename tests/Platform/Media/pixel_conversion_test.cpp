#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "Platform/Media/PixelConversion.h"

namespace {

// BT.709 video range of gamma-encoded RGB (0...255), in exact arithmetic.
struct Reference {
  double y, cb, cr;
};

Reference bt709(double r, double g, double b) {
  const double yn = (0.2126 * r + 0.7152 * g + 0.0722 * b) / 255;
  return {16 + 219 * yn, 128 + 224 * ((b / 255 - yn) / 1.8556), 128 + 224 * ((r / 255 - yn) / 1.5748)};
}

}  // namespace

// Random pictures (no two neighbours alike) of sizes that leave every kind of
// remainder at the row ends, against the exact formula: luma per pixel, chroma
// of each 2 x 2 block (edge blocks repeat their last column or row).
TEST(PixelConversionTest, BgraToBt709MatchesTheExactFormulaAtEveryPosition) {
  std::mt19937 random(7);
  for (const auto& [width, height] : {std::pair{1, 1}, {7, 3}, {8, 2}, {13, 5}, {33, 4}, {66, 9}}) {
    SCOPED_TRACE(testing::Message() << width << "x" << height);
    const int stride = 4 * width + 12;
    std::vector<uint8_t> bgra(static_cast<size_t>(stride) * height);
    for (auto& byte : bgra) byte = static_cast<uint8_t>(random());
    const int strideY = width + 3, strideUV = 2 * ((width + 1) / 2) + 5, chromaRows = (height + 1) / 2;
    std::vector<uint8_t> y(static_cast<size_t>(strideY) * height), uv(static_cast<size_t>(strideUV) * chromaRows);
    platform::convertBGRAToBT709NV12(bgra.data(), stride, width, height, y.data(), strideY, uv.data(), strideUV);

    auto pixel = [&](int col, int row, int channel) {
      return double(bgra[static_cast<size_t>(row) * stride + 4 * col + channel]);
    };
    for (int row = 0; row < height; ++row)
      for (int col = 0; col < width; ++col) {
        const auto want = bt709(pixel(col, row, 2), pixel(col, row, 1), pixel(col, row, 0));
        ASSERT_LE(std::abs(y[row * strideY + col] - want.y), 1.0) << "luma at " << col << "," << row;
      }
    for (int row = 0; row < chromaRows; ++row)
      for (int col = 0; col < (width + 1) / 2; ++col) {
        double r = 0, g = 0, b = 0;
        for (const int dy : {0, 1})
          for (const int dx : {0, 1}) {
            const int c = std::min(2 * col + dx, width - 1), rr = std::min(2 * row + dy, height - 1);
            r += pixel(c, rr, 2) / 4;
            g += pixel(c, rr, 1) / 4;
            b += pixel(c, rr, 0) / 4;
          }
        const auto want = bt709(r, g, b);
        ASSERT_LE(std::abs(uv[row * strideUV + 2 * col] - want.cb), 1.0) << "Cb at " << col << "," << row;
        ASSERT_LE(std::abs(uv[row * strideUV + 2 * col + 1] - want.cr), 1.0) << "Cr at " << col << "," << row;
      }
  }
}
