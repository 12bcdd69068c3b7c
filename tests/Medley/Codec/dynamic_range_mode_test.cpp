#include <gtest/gtest.h>

#include <limits>

#include "Medley/Sources/Codec/DynamicRangeMode.h"
#include "Medley/Sources/Screen/Screen.h"

namespace medley {
namespace {

TEST(DynamicRangeMode, PixelBufferAttributes) {
  const auto sdr = makePixelBufferAttributes(DynamicRangeMode::sdr, 1920, 1080);
  EXPECT_EQ(sdr, (DynamicRangePixelBufferAttributes{875704438u, true, 1920, 1080}));
  EXPECT_EQ(makePixelBufferAttributes(DynamicRangeMode::hdr, 1920, 1080).pixelFormatType, 2016686640u);
  const auto fractional = makePixelBufferAttributes(DynamicRangeMode::sdr, 1280.7, 720.2);
  EXPECT_EQ(fractional.width, 1280);
  EXPECT_EQ(fractional.height, 720);
  // Sizes no integer holds give 0, which no buffer takes, instead of an undefined conversion.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(makePixelBufferAttributes(DynamicRangeMode::sdr, nan, 1e30).width, 0);
  EXPECT_EQ(makePixelBufferAttributes(DynamicRangeMode::sdr, nan, 1e30).height, 0);
  EXPECT_EQ(makePixelBufferAttributes(DynamicRangeMode::hdr, -std::numeric_limits<double>::infinity(), 4e9).height, 0);
}

TEST(DynamicRangeMode, TheContextTagsEveryComposedPicture) {
  const auto sdr = makeRenderContext(DynamicRangeMode::sdr);
  ASSERT_TRUE(sdr.options);
  EXPECT_EQ(sdr.options->workingFormat, "RGBAh");
  EXPECT_EQ(sdr.options->workingColorSpace, *colorSpace(DynamicRangeMode::sdr));
  EXPECT_EQ(sdr.options->outputColorSpace.name, "ITUR_709");
  EXPECT_EQ(makeRenderContext(DynamicRangeMode::hdr).options->outputColorSpace.name, "ITUR_2100_HLG");

  Screen screen;
  auto frame = screen.makeSampleBuffer({1, 1.016});
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->imageBuffer()->colorAttachments(), platform::ColorAttachments::bt709());
  screen.setDynamicRangeMode(DynamicRangeMode::hdr);
  frame = screen.makeSampleBuffer({2, 2.016});
  const auto& hdr = frame->imageBuffer()->colorAttachments();
  EXPECT_EQ(hdr.primaries, platform::ColorPrimaries::itu_r_2020);
  EXPECT_EQ(hdr.transfer, platform::TransferFunction::itu_r_2100_hlg);
  EXPECT_EQ(hdr.matrix, platform::YCbCrMatrix::itu_r_2020);
  screen.setDynamicRangeMode(DynamicRangeMode::sdr);
  frame = screen.makeSampleBuffer({3, 3.016});
  EXPECT_EQ(frame->imageBuffer()->colorAttachments(), platform::ColorAttachments::bt709())
      << "a pooled buffer is tagged again, not left with the other mode's tags";
}

}  // namespace
}  // namespace medley
