#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "Medley/Sources/Codec/HLGConversion.h"

namespace medley {
namespace {

// Pseudo-random 8-bit video-range samples: every kind of colour, neighbours unlike.
platform::PixelBufferRef noisePicture(int w, int h, uint32_t seed) {
  auto p = platform::PixelBuffer::make(w, h, platform::PixelFormat::nv12VideoRange);
  for (int plane = 0; plane < 2; ++plane)
    for (int r = 0; r < p->plane(plane).height; ++r)
      for (int i = 0; i < p->plane(plane).width * (plane + 1); ++i) {
        seed = seed * 1664525u + 1013904223u;
        p->plane(plane).data[r * p->plane(plane).bytesPerRow + i] = static_cast<uint8_t>(16 + (seed >> 24) % 225);
      }
  return p;
}

uint16_t code10(const platform::PixelBuffer& b, int plane, int x, int y) {
  const auto p = b.plane(plane);
  return reinterpret_cast<const uint16_t*>(p.data + static_cast<size_t>(y) * p.bytesPerRow)[x] >> 6;
}

// Runs a check through the vector kernels (where the processor has them) and
// through the one-by-one form alone, as a processor without them converts.
template <typename Check>
void throughBothForms(Check check) {
  for (const bool vectors : {true, false}) {
    SCOPED_TRACE(vectors ? "vector kernels" : "one by one");
    setHLGVectorKernelsAllowed(vectors);
    check();
  }
  setHLGVectorKernelsAllowed(true);
}

// HLG R'G'B' of one pixel from the scalar form: its luma with its block's chroma.
std::array<double, 3> hlgOf(int y, int cb, int cr) {
  const double l = (y - 16) / 219.0, pb = (cb - 128) / 224.0, pr = (cr - 128) / 224.0;
  return hlgFromBT709({l + 1.5748 * pr, l - 0.187324 * pb - 0.468124 * pr, l + 1.8556 * pb});
}

// Luma of every pixel and chroma of every whole block more than a code from
// the scalar form, the first five of them reported.
int offTheScalarForm(const platform::PixelBuffer& sdr, const platform::PixelBuffer& hdr) {
  const auto sY = sdr.plane(0), sUV = sdr.plane(1);
  int off = 0;
  for (int cy = 0; cy < sdr.height() / 2; ++cy)
    for (int cx = 0; cx < sdr.width() / 2; ++cx) {
      const int cb = sUV.data[cy * sUV.bytesPerRow + 2 * cx], cr = sUV.data[cy * sUV.bytesPerRow + 2 * cx + 1];
      double sb = 0, sr = 0;
      for (int i = 0; i < 4; ++i) {
        const int x = 2 * cx + i % 2, y = 2 * cy + i / 2, luma = sY.data[y * sY.bytesPerRow + x];
        const auto c = hlgOf(luma, cb, cr);
        const double l = 0.2627 * c[0] + 0.6780 * c[1] + 0.0593 * c[2];
        if (std::abs(code10(hdr, 0, x, y) - (64 + 876 * l)) > 1.0 && off++ < 5)
          ADD_FAILURE() << "luma " << luma << " at " << x << "," << y << " cb " << cb << " cr " << cr;
        sb += (c[2] - l) / 1.8814, sr += (c[0] - l) / 1.4746;
      }
      if ((std::abs(code10(hdr, 1, 2 * cx, cy) - (512 + 896 * sb / 4)) > 1.0 ||
           std::abs(code10(hdr, 1, 2 * cx + 1, cy) - (512 + 896 * sr / 4)) > 1.0) &&
          off++ < 5)
        ADD_FAILURE() << "chroma of block " << cx << "," << cy << " cb " << cb << " cr " << cr;
    }
  return off;
}

TEST(HLGConversion, EveryPixelAndBlockOfAPictureMatchesTheScalarForm) {
  // Widths and heights that leave odd columns and rows, and runs of blocks of
  // every length, with and without whole groups of eight.
  throughBothForms([&] {
    for (const auto [w, h] : {std::array<int, 2>{37, 21}, {64, 8}, {18, 2}, {2, 1}, {130, 5}}) {
      const auto sdr = noisePicture(w, h, static_cast<uint32_t>(w * 1000 + h));
      auto hdr = platform::PixelBuffer::make(w, h, platform::PixelFormat::p010);
      ASSERT_TRUE(convertBT709ToHLG(*sdr, *hdr));
      EXPECT_EQ(hdr->colorAttachments().transfer, platform::TransferFunction::itu_r_2100_hlg);
      const auto sY = sdr->plane(0), sUV = sdr->plane(1);
      for (int cy = 0; cy < (h + 1) / 2; ++cy)
        for (int cx = 0; cx < (w + 1) / 2; ++cx) {
          const int cb = sUV.data[cy * sUV.bytesPerRow + 2 * cx], cr = sUV.data[cy * sUV.bytesPerRow + 2 * cx + 1];
          double sb = 0, sr = 0;
          int n = 0;
          for (int y = 2 * cy; y < std::min(h, 2 * cy + 2); ++y)
            for (int x = 2 * cx; x < std::min(w, 2 * cx + 2); ++x) {
              const auto c = hlgOf(sY.data[y * sY.bytesPerRow + x], cb, cr);
              const double l = 0.2627 * c[0] + 0.6780 * c[1] + 0.0593 * c[2];
              EXPECT_NEAR(code10(*hdr, 0, x, y), 64 + 876 * l, 1.0) << w << "x" << h << " at " << x << "," << y;
              sb += (c[2] - l) / 1.8814, sr += (c[0] - l) / 1.4746;
              ++n;
            }
          EXPECT_NEAR(code10(*hdr, 1, 2 * cx, cy), 512 + 896 * sb / n, 1.0) << w << "x" << h << " block " << cx << "," << cy;
          EXPECT_NEAR(code10(*hdr, 1, 2 * cx + 1, cy), 512 + 896 * sr / n, 1.0) << w << "x" << h << " block " << cx << "," << cy;
        }
    }
  });
  // Pictures of other layouts or sizes are refused.
  auto other = platform::PixelBuffer::make(38, 21, platform::PixelFormat::p010);
  EXPECT_FALSE(convertBT709ToHLG(*noisePicture(37, 21, 1), *other));
}


TEST(HLGConversion, EveryLumaCodeWithChromaAcrossTheWholeCodeRangeMatchesTheScalarForm) {
  // Codes past the video range too (0 and 255 clip R'G'B' on both sides),
  // every luma code in each block row, blocks mixing a dark and a bright line.
  std::vector<int> chroma;
  for (int c = 0; c < 256; c += 16) chroma.push_back(c);
  chroma.push_back(255);
  const int w = 256, h = 2 * static_cast<int>(chroma.size() * chroma.size());
  auto sdr = platform::PixelBuffer::make(w, h, platform::PixelFormat::nv12VideoRange);
  const auto sY = sdr->plane(0), sUV = sdr->plane(1);
  for (int cy = 0; cy < h / 2; ++cy) {
    for (int x = 0; x < w; ++x) {
      sY.data[2 * cy * sY.bytesPerRow + x] = static_cast<uint8_t>(x);
      sY.data[(2 * cy + 1) * sY.bytesPerRow + x] = static_cast<uint8_t>(255 - x);
    }
    for (int cx = 0; cx < w / 2; ++cx) {
      sUV.data[cy * sUV.bytesPerRow + 2 * cx] = static_cast<uint8_t>(chroma[cy % chroma.size()]);
      sUV.data[cy * sUV.bytesPerRow + 2 * cx + 1] = static_cast<uint8_t>(chroma[cy / chroma.size()]);
    }
  }
  throughBothForms([&] {
    auto hdr = platform::PixelBuffer::make(w, h, platform::PixelFormat::p010);
    ASSERT_TRUE(convertBT709ToHLG(*sdr, *hdr));
    EXPECT_EQ(offTheScalarForm(*sdr, *hdr), 0);
  });
}

TEST(HLGConversion, APictureConvertedIntoPartOfALargerOneIsThatPictureConvertedAloneAndNothingElseChanges) {
  const auto sdr = noisePicture(37, 21, 7);
  auto alone = platform::PixelBuffer::make(37, 21, platform::PixelFormat::p010);
  ASSERT_TRUE(convertBT709ToHLG(*sdr, *alone));
  auto canvas = platform::PixelBuffer::make(64, 40, platform::PixelFormat::p010);
  const auto fill = [&canvas] {
    for (int plane = 0; plane < 2; ++plane)
      for (int r = 0; r < canvas->plane(plane).height; ++r)
        for (int i = 0; i < canvas->plane(plane).width * (plane + 1); ++i)
          reinterpret_cast<uint16_t*>(canvas->plane(plane).data + r * canvas->plane(plane).bytesPerRow)[i] = 0xABC0;
  };
  fill();
  ASSERT_TRUE(convertBT709ToHLG(*sdr, *canvas, 26, 18));
  EXPECT_TRUE(canvas->colorAttachments().isEmpty());
  for (int plane = 0; plane < 2; ++plane) {
    const int x0 = 26, y0 = plane ? 9 : 18;  // a chroma pair per two columns, two samples a pair
    for (int r = 0; r < canvas->plane(plane).height; ++r)
      for (int i = 0; i < canvas->plane(plane).width * (plane + 1); ++i) {
        const int ar = r - y0, ai = i - x0;
        const bool inside =
            ar >= 0 && ar < alone->plane(plane).height && ai >= 0 && ai < alone->plane(plane).width * (plane + 1);
        const uint16_t expected = inside ? reinterpret_cast<const uint16_t*>(
                                               alone->plane(plane).data + ar * alone->plane(plane).bytesPerRow)[ai]
                                         : 0xABC0;
        const auto c = canvas->plane(plane);
        const auto* row = reinterpret_cast<const uint16_t*>(c.data + r * c.bytesPerRow);
        ASSERT_EQ(row[i], expected)
            << "plane " << plane << " at " << i << "," << r;
      }
  }
  // Odd corners (chroma would fall between pairs), a picture reaching past the
  // edges or a wrong layout change nothing.
  fill();
  const auto untouched = [&canvas] {
    for (int plane = 0; plane < 2; ++plane)
      for (int r = 0; r < canvas->plane(plane).height; ++r)
        for (int i = 0; i < canvas->plane(plane).width * (plane + 1); ++i)
          if (reinterpret_cast<const uint16_t*>(canvas->plane(plane).data + r * canvas->plane(plane).bytesPerRow)[i] !=
              0xABC0)
            return false;
    return true;
  };
  for (const auto [x, y] : {std::array<long, 2>{1, 0}, {0, 3}, {28, 0}, {0, 20}, {-2, 0}, {0, -2}})
    EXPECT_FALSE(convertBT709ToHLG(*sdr, *canvas, x, y)) << x << "," << y;
  EXPECT_FALSE(convertBT709ToHLG(*sdr, *sdr, 0, 0));
  EXPECT_TRUE(untouched());
}

TEST(HLGConversion, NearBlackEveryChromaPairOfTheVideoRangeMatchesTheScalarForm) {
  // Where HLG is a square root its slope is steepest: every Cb, Cr pair of the
  // video range with each of the 32 darkest luma codes.
  constexpr int kChroma = 225, kLumaCodes = 32, kRowsPerPair = kLumaCodes / 4;
  const int w = 2 * kChroma, h = 2 * kChroma * kRowsPerPair;
  auto sdr = platform::PixelBuffer::make(w, h, platform::PixelFormat::nv12VideoRange);
  const auto sY = sdr->plane(0), sUV = sdr->plane(1);
  for (int cy = 0; cy < h / 2; ++cy)
    for (int cx = 0; cx < w / 2; ++cx) {
      sUV.data[cy * sUV.bytesPerRow + 2 * cx] = static_cast<uint8_t>(16 + cy / kRowsPerPair);
      sUV.data[cy * sUV.bytesPerRow + 2 * cx + 1] = static_cast<uint8_t>(16 + cx);
      for (int i = 0; i < 4; ++i)
        sY.data[(2 * cy + i / 2) * sY.bytesPerRow + 2 * cx + i % 2] = static_cast<uint8_t>(16 + cy % kRowsPerPair * 4 + i);
    }
  throughBothForms([&] {
    auto hdr = platform::PixelBuffer::make(w, h, platform::PixelFormat::p010);
    ASSERT_TRUE(convertBT709ToHLG(*sdr, *hdr));
    EXPECT_EQ(offTheScalarForm(*sdr, *hdr), 0);
  });
}

TEST(HLGConversion, BlackAndWhiteLandExactlyOnHLGBlackAndReferenceWhite) {
  // Codes beyond the video range clip to black and white; 40 columns take
  // both the vector and the one-by-one path.
  throughBothForms([&] {
    for (const auto [luma, expected] : {std::array<int, 2>{16, 64}, {0, 64}, {235, 721}, {255, 721}}) {
      auto sdr = platform::PixelBuffer::make(40, 4, platform::PixelFormat::nv12VideoRange);
      for (int plane = 0; plane < 2; ++plane) {
        const auto p = sdr->plane(plane);
        for (int r = 0; r < p.height; ++r)
          std::fill_n(p.data + r * p.bytesPerRow, 40, static_cast<uint8_t>(plane ? 128 : luma));
      }
      auto hdr = platform::PixelBuffer::make(40, 4, platform::PixelFormat::p010);
      ASSERT_TRUE(convertBT709ToHLG(*sdr, *hdr));
      for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 40; ++x) {
          EXPECT_EQ(code10(*hdr, 0, x, y), expected) << "luma " << luma << " at " << x << "," << y;
          EXPECT_EQ(code10(*hdr, 1, x, y / 2), 512) << "luma " << luma << " at " << x << "," << y;
        }
    }
  });
}

}  // namespace
}  // namespace medley

namespace medley {
namespace {

// BT.709 R'G'B' of one pixel of an HLG picture from the scalar form: its luma with its block's chroma.
std::array<double, 3> bt709Of(int y, int cb, int cr) {
  const double l = (y - 64) / 876.0, pb = (cb - 512) / 896.0, pr = (cr - 512) / 896.0;
  return bt709FromHLG(
      {l + 1.4746 * pr, l - 0.0593 * 1.8814 / 0.6780 * pb - 0.2627 * 1.4746 / 0.6780 * pr, l + 1.8814 * pb});
}

TEST(HLGConversion, TheWayBackMatchesTheScalarFormForEveryLumaCodeAcrossTheChromaRange) {
  // Every 10-bit luma code, a dark and a bright line in each block, with chroma
  // across the whole code range (past the video range too, so that R'G'B' and
  // the narrowed light clip on both sides). The last three blocks of a row are
  // converted one by one; stray bits below the 10-bit codes (on luma, Cb and
  // Cr) are left out.
  std::vector<int> chroma;
  for (int c = 0; c < 1024; c += 64) chroma.push_back(c);
  chroma.push_back(1023);
  const int w = 1030, h = 2 * static_cast<int>(chroma.size() * chroma.size());
  auto hdr = platform::PixelBuffer::make(w, h, platform::PixelFormat::p010);
  const auto hY = hdr->plane(0), hUV = hdr->plane(1);
  const auto word = [](const platform::PixelBuffer::Plane& p, int x, int y) -> uint16_t& {
    return reinterpret_cast<uint16_t*>(p.data + static_cast<size_t>(y) * p.bytesPerRow)[x];
  };
  for (int cy = 0; cy < h / 2; ++cy) {
    for (int x = 0; x < w; ++x) {
      word(hY, x, 2 * cy) = static_cast<uint16_t>(x % 1024 << 6 | (x % 7 == 0 ? 0x2A : 0));
      word(hY, x, 2 * cy + 1) = static_cast<uint16_t>((1023 - x % 1024) << 6);
    }
    for (int cx = 0; cx < w / 2; ++cx) {
      word(hUV, 2 * cx, cy) = static_cast<uint16_t>(chroma[cy % chroma.size()] << 6 | (cx % 5 == 0 ? 0x3F : 0));
      word(hUV, 2 * cx + 1, cy) = static_cast<uint16_t>(chroma[cy / chroma.size()] << 6 | (cx % 3 == 0 ? 0x15 : 0));
    }
  }
  throughBothForms([&] {
    const auto sdr = convertHLGToBT709(*hdr);
    ASSERT_TRUE(sdr);
    EXPECT_EQ(sdr->format(), platform::PixelFormat::nv12VideoRange);
    const auto sY = sdr->plane(0), sUV = sdr->plane(1);
    int off = 0;
    for (int cy = 0; cy < h / 2; ++cy)
      for (int cx = 0; cx < w / 2; ++cx) {
        const int cb = word(hUV, 2 * cx, cy) >> 6, cr = word(hUV, 2 * cx + 1, cy) >> 6;
        double sb = 0, sr = 0;
        for (int i = 0; i < 4; ++i) {
          const int x = 2 * cx + i % 2, y = 2 * cy + i / 2, luma = word(hY, x, y) >> 6;
          const auto c = bt709Of(luma, cb, cr);
          const double l = 0.2126 * c[0] + 0.7152 * c[1] + 0.0722 * c[2];
          if (std::abs(sY.data[y * sY.bytesPerRow + x] - (16 + 219 * l)) > 1.0 && off++ < 5)
            ADD_FAILURE() << "luma " << luma << " at " << x << "," << y << " cb " << cb << " cr " << cr;
          sb += (c[2] - l) / 1.8556, sr += (c[0] - l) / 1.5748;
        }
        if ((std::abs(sUV.data[cy * sUV.bytesPerRow + 2 * cx] - (128 + 224 * sb / 4)) > 1.0 ||
             std::abs(sUV.data[cy * sUV.bytesPerRow + 2 * cx + 1] - (128 + 224 * sr / 4)) > 1.0) &&
            off++ < 5)
          ADD_FAILURE() << "chroma of block " << cx << "," << cy << " cb " << cb << " cr " << cr;
      }
    EXPECT_EQ(off, 0);
  });
}

}  // namespace
}  // namespace medley
