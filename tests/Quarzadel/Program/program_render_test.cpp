#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>
#include <cstring>

#include "Quarzadel/Program/NV12Ops.h"
#include "Quarzadel/Program/ProgramRenderer.h"
#include "program_test_support.h"

namespace quarzadel {
namespace {

using platform::PixelBufferRef;
using platform::PixelFormat;
using testing::colorAt;
using testing::flatPicture;
using testing::lumaAt;

constexpr YCbCr kBlack{16, 128, 128};

// Sets rows [y0, y1) of a picture's luma to `y`.
void paintRows(platform::PixelBuffer& b, int y0, int y1, uint8_t y) {
  const auto p = b.plane(0);
  for (int row = y0; row < y1; ++row) std::memset(p.data + row * p.bytesPerRow, y, b.width());
}

// Sets columns [x0, x1) of a picture's luma to `y`.
void paintColumns(platform::PixelBuffer& b, int x0, int x1, uint8_t y) {
  const auto p = b.plane(0);
  for (int row = 0; row < b.height(); ++row) std::memset(p.data + row * p.bytesPerRow + x0, y, x1 - x0);
}

class ProgramRendererTest : public ::testing::Test {
 protected:
  ProgramRenderer renderer{StreamConfig{}, Framing::automatic};
};

TEST_F(ProgramRendererTest, FourByThreeCameraIsFilledWithTopAndBottomCut) {
  // 1440 x 1080 scaled by 4/3 to 1920 x 1440: the outer 135 source rows fall outside.
  auto camera = flatPicture(1440, 1080, {120, 128, 128});
  paintRows(*camera, 0, 130, 50);
  paintRows(*camera, 950, 1080, 200);
  paintColumns(*camera, 0, 12, 235);
  auto out = renderer.compose(camera, false, nullptr, false, 0);
  ASSERT_TRUE(out);
  for (int y = 2; y < 1078; y += 7) EXPECT_EQ(lumaAt(*out, 960, y), 120) << "row " << y;
  // The left source columns stretch by 4/3.
  EXPECT_EQ(lumaAt(*out, 10, 540), 235);
  EXPECT_EQ(lumaAt(*out, 20, 540), 120);
}

TEST_F(ProgramRendererTest, PortraitImageIsFittedOverADarkerLessSaturatedFillOfItself) {
  const YCbCr source{150, 200, 90};
  auto portrait = flatPicture(1080, 1920, source);
  auto out = renderer.compose(portrait, false, nullptr, false, 0);
  ASSERT_TRUE(out);
  // 1080 x 1920 at 0.5625 is 608 x 1080 in the middle (x 656 ... 1264).
  EXPECT_EQ(colorAt(*out, 960, 540), source);
  EXPECT_EQ(colorAt(*out, 700, 10), source);
  // Bars: brightness -0.12 lowers luma by 26; saturation 0.9 pulls chroma toward neutral.
  for (auto [x, y] : {std::pair{0, 540}, {640, 540}, {1280, 540}, {1919, 540}, {0, 0}, {1919, 1079}})
    EXPECT_EQ(colorAt(*out, x, y), (YCbCr{124, 193, 94})) << x << "," << y;
}

TEST_F(ProgramRendererTest, WholeImageSitsBetweenBlackBarsWhateverTheFraming) {
  renderer.setFraming(Framing::fill);
  // A 2880 x 1800 shared screen at 0.6: 1728 x 1080, 96 pixels of black each side.
  auto screen = flatPicture(2880, 1800, {180, 100, 150});
  auto out = renderer.compose(screen, true, nullptr, false, 0);
  ASSERT_TRUE(out);
  for (int x : {0, 94, 1825}) EXPECT_EQ(colorAt(*out, x, 540), kBlack) << x;
  for (int x : {98, 1820}) EXPECT_EQ(colorAt(*out, x, 0), (YCbCr{180, 100, 150})) << x;
  // Fit of the output's own aspect is drawn as fill: no blur or scaling smears an edge.
  renderer.setFraming(Framing::fit);
  auto image = flatPicture(1920, 1080, {100, 128, 128});
  paintColumns(*image, 0, 2, 235);
  out = renderer.compose(image, false, nullptr, false, 0);
  EXPECT_EQ(lumaAt(*out, 1, 500), 235);
  EXPECT_EQ(lumaAt(*out, 2, 500), 100);
}

TEST_F(ProgramRendererTest, EveryPixelIsDrawnEvenInRecycledBuffers) {
  // A recycled output buffer still holds the previous picture: bars must cover it.
  renderer.compose(flatPicture(1920, 1080, {77, 128, 128}), false, nullptr, false, 0);
  for (bool whole : {true, false}) {
    auto out = renderer.compose(flatPicture(1080, 1920, {150, 128, 128}), whole, nullptr, false, 0);
    ASSERT_TRUE(out);
    const auto luma = out->plane(0);
    for (int y = 0; y < 1080; ++y)
      for (int x = 0; x < 1920; ++x)
        ASSERT_NE(luma.data[y * luma.bytesPerRow + x], 77) << "whole " << whole << " at " << x << "," << y;
  }
}

TEST_F(ProgramRendererTest, SlateOutputCarriesBT709AndOneFormatDescriptionFromAPoolThatGrows) {
  // Without an on-air picture the slate is drawn, even during a dissolve.
  auto out = renderer.compose(nullptr, false, flatPicture(1920, 1080, {200, 128, 128}), false, 0.5);
  ASSERT_TRUE(out);
  EXPECT_EQ(colorAt(*out, 0, 0), ProgramRenderer::slateColor());
  EXPECT_EQ(colorAt(*out, 1919, 1079), ProgramRenderer::slateColor());
  EXPECT_EQ(out->colorAttachments(), platform::ColorAttachments::bt709());
  const auto format = renderer.formatDescription();
  ASSERT_TRUE(format);
  EXPECT_EQ(format->dimensions(), (platform::VideoDimensions{1920, 1080}));
  EXPECT_EQ(format->extensions().color.matrix, platform::YCbCrMatrix::itu_r_709_2);
  renderer.compose(nullptr, false, nullptr, false, 0);
  EXPECT_EQ(renderer.formatDescription(), format);

  StreamConfig small;
  small.resolution = StreamConfig::Resolution::hd720;
  renderer.setConfig(small);
  EXPECT_FALSE(renderer.formatDescription());
  out = renderer.compose(nullptr, false, nullptr, false, 0);
  EXPECT_EQ(out->width(), 1280);
  EXPECT_EQ(renderer.formatDescription()->dimensions(), (platform::VideoDimensions{1280, 720}));

  // The pool grows while buffers are held and skips a frame only at its limit.
  std::vector<PixelBufferRef> held{out};
  while (held.size() < ProgramRenderer::kMaximumPoolBuffers) {
    held.push_back(renderer.compose(nullptr, false, nullptr, false, 0));
    ASSERT_TRUE(held.back()) << held.size();
  }
  EXPECT_FALSE(renderer.compose(nullptr, false, nullptr, false, 0));
  held.pop_back();
  EXPECT_TRUE(renderer.compose(nullptr, false, nullptr, false, 0));
}

TEST_F(ProgramRendererTest, SourcesInOtherColourSpacesComeOutBT709VideoRange) {
  // Red as BGRA (full range RGB).
  auto bgra = platform::PixelBuffer::make(1920, 1080, PixelFormat::bgra);
  const auto plane = bgra->plane(0);
  for (int y = 0; y < 1080; ++y)
    for (int x = 0; x < 1920; ++x) {
      uint8_t* p = plane.data + y * plane.bytesPerRow + 4 * x;
      p[0] = 0, p[1] = 0, p[2] = 255, p[3] = 255;
    }
  EXPECT_EQ(colorAt(*renderer.compose(bgra, false, nullptr, false, 0), 960, 540), (YCbCr{63, 102, 240}));

  // The same red in BT.601.
  auto red601 = flatPicture(1920, 1080, {82, 90, 240});
  platform::ColorAttachments tags;
  tags.matrix = platform::YCbCrMatrix::itu_r_601_4;
  red601->setColorAttachments(tags);
  const YCbCr converted = colorAt(*renderer.compose(red601, false, nullptr, false, 0), 960, 540);
  for (auto [got, want] : {std::pair{converted.y, 63}, {converted.cb, 102}, {converted.cr, 240}})
    EXPECT_NEAR(got, want, 1);

  // Full range white and black.
  auto full = flatPicture(1920, 1080, {255, 128, 128}, PixelFormat::nv12FullRange);
  paintRows(*full, 540, 1080, 0);
  auto out = renderer.compose(full, false, nullptr, false, 0);
  EXPECT_EQ(lumaAt(*out, 960, 100), 235);
  EXPECT_EQ(lumaAt(*out, 960, 1000), 16);
}

TEST_F(ProgramRendererTest, AnUnchangedOutgoingImageIsFramedOnceAndLetGoWhenTheDissolveEnds) {
  auto onAir = flatPicture(1920, 1080, {100, 128, 128});
  auto outgoing = flatPicture(1920, 1080, {200, 128, 128});
  auto next = flatPicture(1920, 1080, {50, 128, 128});
  auto portrait = flatPicture(1080, 1920, {200, 128, 128});
  auto lumaOf = [&](const platform::PixelBufferRef& from, bool fromFit, int x) {
    auto out = renderer.compose(onAir, false, from, fromFit, 0.5);
    return out ? static_cast<int>(lumaAt(*out, x, 540)) : -1;
  };
  // The dissolve eases with smoothstep: a quarter of the way is 0.15625 of the change.
  auto quarter = renderer.compose(onAir, false, outgoing, false, 0.25);
  EXPECT_NEAR(lumaAt(*quarter, 960, 540), 200 - 100 * 0.15625, 1);
  EXPECT_EQ(lumaOf(outgoing, false, 960), 150);  // the same image again: framed before
  EXPECT_GT(outgoing.use_count(), 1);
  EXPECT_EQ(lumaOf(next, false, 960), 75);  // another image is framed anew
  EXPECT_EQ(outgoing.use_count(), 1);
  // The same image with another framing: between black bars, then over its own darker fill.
  EXPECT_EQ(lumaOf(portrait, true, 10), (16 + 100) / 2);
  EXPECT_EQ(lumaOf(portrait, false, 10), (200 - 26 + 100) / 2);
  renderer.setFraming(Framing::fill);
  EXPECT_EQ(lumaOf(portrait, false, 10), 150);
  // The dissolve is over: the outgoing buffer goes back to its owner.
  EXPECT_GT(portrait.use_count(), 1);
  ASSERT_TRUE(renderer.compose(onAir, false, nullptr, false, 0));
  EXPECT_EQ(portrait.use_count(), 1);
}

TEST(NV12OpsTest, BlurKeepsFlatAreasAndSpreadsAnEdgeSymmetrically) {
  auto picture = flatPicture(480, 270, {100, 128, 128});
  paintColumns(*picture, 240, 480, 200);
  const NV12Frame f = NV12Frame::of(*picture);
  nv12::Blur blur;
  blur.apply(f, 12);
  EXPECT_EQ(lumaAt(*picture, 0, 135), 100);
  EXPECT_EQ(lumaAt(*picture, 479, 135), 200);
  // Around the edge the values rise monotonically and symmetrically.
  EXPECT_NEAR(lumaAt(*picture, 239, 135) + lumaAt(*picture, 240, 135), 300, 2);
  EXPECT_NEAR(lumaAt(*picture, 225, 135) + lumaAt(*picture, 254, 135), 300, 2);
  for (int x = 200; x < 280; ++x) EXPECT_LE(lumaAt(*picture, x, 135), lumaAt(*picture, x + 1, 135));
  EXPECT_GT(lumaAt(*picture, 230, 135), 100);
  // Every row is the same: nothing changes vertically.
  EXPECT_EQ(lumaAt(*picture, 230, 0), lumaAt(*picture, 230, 269));
}

TEST(NV12OpsTest, ScalerKeepsEdgesAndGradients) {
  // A horizontal ramp shrunk and enlarged stays a ramp with its ends in place.
  auto ramp = flatPicture(400, 100, {0, 128, 128});
  const NV12Frame src = NV12Frame::of(*ramp);
  for (int y = 0; y < 100; ++y)
    for (int x = 0; x < 400; ++x) src.y[y * src.strideY + x] = static_cast<uint8_t>(16 + x / 2);
  nv12::Scaler scaler;
  for (int w : {100, 1600}) {
    auto out = flatPicture(w, 50, {0, 0, 0});
    scaler.scale(src, NV12Frame::of(*out));
    EXPECT_NEAR(lumaAt(*out, 0, 25), 16, 2) << w;
    EXPECT_NEAR(lumaAt(*out, w - 1, 25), 215, 2) << w;
    EXPECT_NEAR(lumaAt(*out, w / 2, 25), 116, 2) << w;
    for (int x = 1; x < w; ++x) ASSERT_LE(lumaAt(*out, x - 1, 25), lumaAt(*out, x, 25)) << w << " x " << x;
    EXPECT_EQ(colorAt(*out, w / 2, 25).cb, 128);
  }
}

// A picture with detail at every scale: gradients both ways, a fine check and
// hard-edged bars, in luma and chroma.
platform::PixelBufferRef detailedPicture(int width, int height) {
  auto picture = flatPicture(width, height, {0, 128, 128});
  const NV12Frame f = NV12Frame::of(*picture);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      f.y[y * f.strideY + x] = static_cast<uint8_t>(16 + (x * 150) / width + (y * 60) / height +
                                                    ((x / 96 + y / 96) % 2 ? 9 : 0) + ((x / 4) % 2 ? 4 : 0));
  for (int y = 0; y < f.chromaHeight(); ++y)
    for (int x = 0; x < f.chromaWidth(); ++x) {
      f.uv[y * f.strideUV + 2 * x] = static_cast<uint8_t>(60 + (x * 120) / f.chromaWidth());
      f.uv[y * f.strideUV + 2 * x + 1] = static_cast<uint8_t>((x / 40) % 2 ? 190 : 70);
    }
  return picture;
}

TEST(NV12OpsTest, RowsFilteredByShufflesMatchTransposedColumnsAndStayInsideTheirRectangle) {
  // Shrinks and enlargements of the program's framings and odd ones, into a
  // rectangle inside a larger picture whose other samples must stay untouched.
  const std::vector<std::array<int, 4>> cases{
      {1440, 810, 1280, 720}, {1080, 1920, 608, 1080}, {164, 270, 664, 1080},
      {998, 202, 1000, 98},   {30, 40, 17, 9},         {401, 301, 233, 177}};
  nv12::Scaler scaler;
  for (const auto& [sw, sh, dw, dh] : cases) {
    auto src = detailedPicture(sw, sh);
    auto own = flatPicture(dw, dh, {0, 0, 0});
    auto shuffled = flatPicture(dw + 40, dh + 20, {7, 7, 7});
    const NV12Frame inside = NV12Frame::of(*shuffled).crop(20, 10, dw, dh);
    scaler.scaleSeparably(NV12Frame::of(*src), inside, true);
    scaler.scaleSeparably(NV12Frame::of(*src), NV12Frame::of(*own), false);
    const NV12Frame o = NV12Frame::of(*own);
    for (int y = 0; y < dh; ++y)
      for (int x = 0; x < dw; ++x)
        ASSERT_NEAR(inside.y[y * inside.strideY + x], o.y[y * o.strideY + x], 1) << sw << "x" << sh << " to " << dw
                                                                                   << "x" << dh << " at " << x << "," << y;
    for (int y = 0; y < o.chromaHeight(); ++y)
      for (int x = 0; x < o.chromaWidth() * 2; ++x)
        ASSERT_NEAR(inside.uv[y * inside.strideUV + x], o.uv[y * o.strideUV + x], 1) << sw << " to " << dw << " chroma";
    for (int y = 0; y < dh + 20; ++y)
      for (int x = 0; x < dw + 40; ++x)
        if (y < 10 || y >= 10 + dh || x < 20 || x >= 20 + dw)
          ASSERT_EQ(lumaAt(*shuffled, x, y), 7) << sw << " to " << dw << ": written outside at " << x << "," << y;
    for (int y = 0; y < (dh + 20) / 2; ++y)
      for (int x = 0; x < (dw + 40) / 2; ++x)
        if (y < 5 || y >= 5 + (dh + 1) / 2 || x < 10 || x >= 10 + (dw + 1) / 2)
          ASSERT_EQ(colorAt(*shuffled, 2 * x, 2 * y).cb, 7) << sw << " to " << dw << ": chroma written outside";
  }
}

TEST(NV12OpsTest, ScalerReusedAcrossSizesGivesWhatAFreshOneGives) {
  // Scratch memory is no longer cleared: what one call leaves must not leak into the next.
  auto big = detailedPicture(1440, 1080), small = detailedPicture(300, 170);
  nv12::Scaler reused;
  auto scratch = flatPicture(1920, 1080, {0, 0, 0});
  reused.scale(NV12Frame::of(*big), NV12Frame::of(*scratch));
  for (const auto& [w, h] : {std::pair{640, 360}, std::pair{1000, 700}, std::pair{200, 400}}) {
    auto a = flatPicture(w, h, {0, 0, 0}), b = flatPicture(w, h, {0, 0, 0});
    reused.scale(NV12Frame::of(*small), NV12Frame::of(*a));
    nv12::Scaler fresh;
    fresh.scale(NV12Frame::of(*small), NV12Frame::of(*b));
    EXPECT_TRUE(testing::samePicture(*a, *b)) << w << "x" << h;
  }
}

}  // namespace
}  // namespace quarzadel
