#include <gtest/gtest.h>

#include <vector>
#include <cstring>

#include "Platform/Media/FourCC.h"
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

class ProgramRendererTest : public ::testing::Test {
 protected:
  ProgramRenderer renderer{StreamConfig{}, Framing::automatic};
};

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
}

TEST_F(ProgramRendererTest, EveryPixelIsDrawnEvenInRecycledBuffers) {
  // A recycled output buffer still holds the previous picture: bars must cover it.
  // (Scaled up, so that the picture is drawn into an output buffer rather than handed on.)
  renderer.compose(flatPicture(960, 540, {77, 128, 128}), false, nullptr, false, 0);
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

TEST_F(ProgramRendererTest, APictureThatWouldBeCopiedExactlyIsHandedOnUnderTheProgramsTags) {
  // A camera of the program's size and colours: only a matrix tag, as cameras set.
  auto camera = flatPicture(1920, 1080, {90, 100, 160});
  paintRows(*camera, 0, 2, 200);
  platform::ColorAttachments cameraTags;
  cameraTags.matrix = platform::YCbCrMatrix::itu_r_709_2;
  camera->setColorAttachments(cameraTags);
  const auto sharesPixels = [&](const PixelBufferRef& out) {
    return out && out->plane(0).data == camera->plane(0).data && out->plane(1).data == camera->plane(1).data;
  };
  for (Framing framing : {Framing::automatic, Framing::fill, Framing::fit}) {
    renderer.setFraming(framing);
    for (bool whole : {false, true}) {
      auto out = renderer.compose(camera, whole, nullptr, false, 0);
      ASSERT_TRUE(sharesPixels(out)) << static_cast<int>(framing) << " whole " << whole;
      EXPECT_TRUE(testing::samePicture(*out, *camera));
      // What the encoders see is what a drawn picture carries; the camera's own tags stay.
      EXPECT_EQ(out->colorAttachments(), platform::ColorAttachments::bt709());
      EXPECT_EQ(out->format(), PixelFormat::nv12VideoRange);
      EXPECT_EQ(camera->colorAttachments(), cameraTags);
    }
  }
  // An untagged HD picture is BT.709 as well; so at 720p.
  camera->setColorAttachments({});
  EXPECT_TRUE(sharesPixels(renderer.compose(camera, false, nullptr, false, 0)));
  StreamConfig small;
  small.resolution = StreamConfig::Resolution::hd720;
  ProgramRenderer smallRenderer{small, Framing::automatic};
  auto small720 = flatPicture(1280, 720, {90, 100, 160});
  small720->setColorAttachments({});
  EXPECT_EQ(smallRenderer.compose(small720, false, nullptr, false, 0)->plane(0).data, small720->plane(0).data);

  // The format description the first picture makes is the one a drawn picture makes.
  ProgramRenderer drawnFirst{StreamConfig{}, Framing::automatic};
  drawnFirst.compose(nullptr, false, nullptr, false, 0);
  ASSERT_TRUE(renderer.formatDescription() && drawnFirst.formatDescription());
  EXPECT_EQ(*renderer.formatDescription(), *drawnFirst.formatDescription());

  // The view keeps the camera's buffer, so its pool cannot refill it while a reader holds the picture.
  auto out = renderer.compose(camera, false, nullptr, false, 0);
  const std::weak_ptr<platform::PixelBuffer> cameraBuffer = camera;
  camera.reset();
  EXPECT_FALSE(cameraBuffer.expired());
  out.reset();
  EXPECT_TRUE(cameraBuffer.expired());
}

TEST_F(ProgramRendererTest, PicturesThatAreDrawnAreNotHandedOn) {
  const auto drawn = [&](const PixelBufferRef& image, bool whole = false, const PixelBufferRef& from = nullptr) {
    auto out = renderer.compose(image, whole, from, false, 0.5);
    return out && out->plane(0).data != image->plane(0).data && out->plane(1).data != image->plane(1).data;
  };
  // During a dissolve.
  EXPECT_TRUE(drawn(flatPicture(1920, 1080, {90, 100, 160}), false, flatPicture(1920, 1080, {16, 128, 128})));
  // Another size, even of the same shape or hardly different; fitted, filled or between bars.
  for (auto [w, h] : {std::pair{1280, 720}, {1920, 1088}, {1080, 1920}})
    for (bool whole : {false, true}) EXPECT_TRUE(drawn(flatPicture(w, h, {90, 100, 160}), whole)) << w << "x" << h;
  // Pictures to convert: BT.601, full range, 10-bit, BGRA.
  auto bt601 = flatPicture(1920, 1080, {90, 100, 160});
  platform::ColorAttachments tags;
  tags.matrix = platform::YCbCrMatrix::itu_r_601_4;
  bt601->setColorAttachments(tags);
  EXPECT_TRUE(drawn(bt601));
  for (PixelFormat format : {PixelFormat::nv12FullRange, PixelFormat::p010, PixelFormat::bgra}) {
    auto image = platform::PixelBuffer::make(1920, 1080, format);
    image->fillBlack();
    image->setColorAttachments(platform::ColorAttachments::bt709());
    EXPECT_TRUE(drawn(image)) << platform::fourCCString(image->formatType());
  }
}

}  // namespace
}  // namespace quarzadel
