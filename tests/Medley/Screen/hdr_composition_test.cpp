#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "Medley/Screen/ScreenTestSupport.h"
#include "Medley/Sources/Codec/HLGConversion.h"
#include "Medley/Sources/Extension/PixelBufferExtensions.h"
#include "Medley/Sources/Screen/Screen.h"
#include "Medley/Sources/Screen/StreamScreenObject.h"

namespace medley {
namespace {

using Colour = std::array<double, 3>;

// A BT.709 colour (R'G'B' 0...1) as an 8-bit video-range picture.
platform::PixelBufferRef bt709Picture(const Colour& c, int w = 64, int h = 36) {
  const double y = 0.2126 * c[0] + 0.7152 * c[1] + 0.0722 * c[2];
  auto code = [](double v) { return static_cast<uint8_t>(std::lround(v)); };
  return testing::solidPicture(w, h, code(16 + 219 * y), code(128 + 224 * (c[2] - y) / 1.8556),
                               code(128 + 224 * (c[0] - y) / 1.5748));
}

// What a viewer of the HLG frame sees, decoded from the standard formulas:
// 10-bit BT.2020 Y'CbCr -> HLG R'G'B' -> scene light, standard white at 75% ->
// BT.709 primaries -> BT.709 signal.
Colour decodedAsBT709(const platform::PixelBuffer& frame, int x, int y) {
  const auto py = frame.plane(0), puv = frame.plane(1);
  const int luma = reinterpret_cast<const uint16_t*>(py.data + y * py.bytesPerRow)[x] >> 6;
  const auto* uv = reinterpret_cast<const uint16_t*>(puv.data + (y / 2) * puv.bytesPerRow);
  const double l = (luma - 64) / 876.0, pb = ((uv[x / 2 * 2] >> 6) - 512) / 896.0,
               pr = ((uv[x / 2 * 2 + 1] >> 6) - 512) / 896.0;
  const double r = l + 1.4746 * pr, b = l + 1.8814 * pb, g = (l - 0.2627 * r - 0.0593 * b) / 0.6780;
  const double a = 0.17883277, bb = 0.28466892, c = 0.55991073;
  auto light = [&](double v) {
    v = std::clamp(v, 0.0, 1.0);
    return v <= 0.5 ? v * v / 3 : (std::exp((v - c) / a) + bb) / 12;
  };
  const double white = light(0.75);
  const Colour e{light(r) / white, light(g) / white, light(b) / white};
  const Colour n{1.6605 * e[0] - 0.5876 * e[1] - 0.0728 * e[2], -0.1246 * e[0] + 1.1329 * e[1] - 0.0083 * e[2],
                 -0.0182 * e[0] - 0.1006 * e[1] + 1.1187 * e[2]};
  Colour out{};
  for (int i = 0; i < 3; ++i) {
    const double v = std::clamp(n[i], 0.0, 1.0);
    out[i] = v < 0.018 ? 4.5 * v : 1.099 * std::pow(v, 0.45) - 0.099;
  }
  return out;
}

platform::SampleBufferRef composedInHDR(const Colour& c) {
  Screen screen;
  screen.setDynamicRangeMode(DynamicRangeMode::hdr);
  screen.setSize({64, 36});
  auto stream = std::make_shared<StreamScreenObject>();
  platform::SampleTiming t;
  t.presentationTime = platform::MediaTime::zero();
  stream->setSampleBuffer(platform::SampleBuffer::makeImage(bt709Picture(c), t));
  screen.addChild(stream);
  return screen.makeSampleBuffer({1, 1.016});
}

TEST(HDRComposition, ABT709PictureComposedInHDRIsConvertedToHLGAndDecodesBackToItsColour) {
  // Red, a skin tone, a dull blue and white: what BT.709 pictures show.
  for (const Colour& c : {Colour{1, 0, 0}, Colour{0.8, 0.55, 0.4}, Colour{0.1, 0.35, 0.75}, Colour{1, 1, 1}}) {
    const auto frame = composedInHDR(c);
    ASSERT_TRUE(frame);
    const auto& picture = *frame->imageBuffer();
    ASSERT_EQ(picture.format(), platform::PixelFormat::p010);
    EXPECT_EQ(picture.colorAttachments().transfer, platform::TransferFunction::itu_r_2100_hlg);
    EXPECT_EQ(picture.colorAttachments().primaries, platform::ColorPrimaries::itu_r_2020);
    EXPECT_EQ(picture.colorAttachments().matrix, platform::YCbCrMatrix::itu_r_2020);
    const Colour seen = decodedAsBT709(picture, 32, 18);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(seen[i], c[i], 0.02) << "colour " << c[0] << "," << c[1] << "," << c[2];
  }
  // Standard white sits at HLG's reference white (75% of the signal), not at its peak.
  const auto white = composedInHDR({1, 1, 1});
  const auto py = white->imageBuffer()->plane(0);
  EXPECT_NEAR(reinterpret_cast<const uint16_t*>(py.data)[0] >> 6, 64 + 0.75 * 876, 2);
  EXPECT_NEAR(hlgFromBT709({1, 1, 1})[0], 0.75, 1e-4);
}

TEST(HDRComposition, HLGFramesComposeAndPreviewAsTheirBT709ColoursAndUntaggedTenBitOnesAsBefore) {
  const Colour skin{0.8, 0.55, 0.4};
  const auto frame = composedInHDR(skin);
  ASSERT_TRUE(frame);
  const auto back = makeComposableBuffer(frame->imageBuffer());
  ASSERT_EQ(back->format(), platform::PixelFormat::nv12VideoRange);
  EXPECT_EQ(back->colorAttachments(), platform::ColorAttachments::bt709());
  const auto original = bt709Picture(skin);
  for (int p = 0; p < 2; ++p)
    for (int i = 0; i < 2; ++i)
      EXPECT_NEAR(back->plane(p).data[i], original->plane(p).data[i], 1) << "plane " << p << " sample " << i;

  // The scalar forms agree with each other over the standard range.
  for (const Colour& c : {Colour{0, 0, 0}, Colour{0.5, 0.5, 0.5}, Colour{0.02, 0.9, 0.3}}) {
    const Colour round = bt709FromHLG(hlgFromBT709(c));
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(round[i], c[i], 1e-3);
  }
  // A 10-bit picture without tags keeps being read as BT.709 widened to 10 bits.
  auto untagged = platform::PixelBuffer::make(64, 36, platform::PixelFormat::p010);
  for (int p = 0; p < 2; ++p)
    for (int r = 0; r < untagged->plane(p).height; ++r)
      for (int i = 0; i < untagged->plane(p).width * (p + 1); ++i)
        reinterpret_cast<uint16_t*>(untagged->plane(p).data + r * untagged->plane(p).bytesPerRow)[i] =
            static_cast<uint16_t>((p == 0 ? 502 : 512) << 6);
  EXPECT_EQ(makeComposableBuffer(untagged)->plane(0).data[0], 125);
}

}  // namespace
}  // namespace medley
