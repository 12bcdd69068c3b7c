#include <gtest/gtest.h>

#include "Medley/Sources/Codec/DynamicRangeMode.h"

using namespace medley;

TEST(VideoDynamicRangeMode, PixelBufferAttributes) {
    EXPECT_EQ(makePixelBufferAttributes(DynamicRangeMode::sdr, 1920, 1080),
              (DynamicRangePixelBufferAttributes{875704438u, true, 1920, 1080}));
    EXPECT_EQ(makePixelBufferAttributes(DynamicRangeMode::hdr, 1920, 1080).pixelFormatType, 2016686640u);
    const auto fractional = makePixelBufferAttributes(DynamicRangeMode::sdr, 1280.7, 720.2);
    EXPECT_EQ(fractional.width, 1280);
    EXPECT_EQ(fractional.height, 720);
}

TEST(VideoDynamicRangeMode, ColorSpacesAreSharedAndTagPictures) {
    EXPECT_EQ(&colorSpace(DynamicRangeMode::hdr), &colorSpace(DynamicRangeMode::hdr));
    EXPECT_EQ(colorSpace(DynamicRangeMode::sdr)->attachments, platform::ColorAttachments::bt709());
    EXPECT_EQ(colorSpace(DynamicRangeMode::hdr)->attachments.transfer, platform::TransferFunction::itu_r_2100_hlg);
    const auto options = contextOptions(DynamicRangeMode::hdr);
    ASSERT_TRUE(options);
    EXPECT_EQ(options->workingFormat, "RGBAh");
    EXPECT_EQ(options->workingColorSpace, *colorSpace(DynamicRangeMode::hdr));
    EXPECT_EQ(options->outputColorSpace, options->workingColorSpace);
}
