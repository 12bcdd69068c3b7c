#include <gtest/gtest.h>

#include <vector>

#include "Medley/Sources/Extension/CaptureDeviceExtensions.h"
#include "Medley/Sources/Extension/SampleBufferExtensions.h"
#include "Medley/Sources/Extension/VideoGravityExtensions.h"

using medley::CaptureDeviceFormat;
using medley::FrameRateRange;

namespace {

CaptureDeviceFormat format(int32_t w, int32_t h, std::vector<FrameRateRange> ranges = {{1, 30}}) {
  return CaptureDeviceFormat{w, h, std::move(ranges)};
}

}  // namespace

TEST(CaptureDeviceExtensionsTest, FindsTheFormatForASizeAndRate) {
  const std::vector<CaptureDeviceFormat> formats{format(640, 480), format(1280, 720), format(1920, 1080),
                                                 format(3840, 2160)};
  EXPECT_EQ(2u, medley::findVideoFormat(formats, 1920, 1080, 30, false));
  EXPECT_EQ(1u, medley::findVideoFormat(formats, 1000, 700, 30, true));
  // Nothing big enough: walking back, 3840x2160 is not smaller in height.
  EXPECT_EQ(2u, medley::findVideoFormat(formats, 4096, 2160, 30, false));
  EXPECT_FALSE(medley::findVideoFormat(formats, 640, 480, 60, false));
  EXPECT_FALSE(medley::findVideoFormat({}, 640, 480, 30, false));
}

TEST(CaptureDeviceExtensionsTest, FrameRateRanges) {
  EXPECT_FALSE(medley::isFrameRateSupported(format(1, 1, {{1, 30}}), 60));
  EXPECT_TRUE(medley::isFrameRateSupported(format(1, 1, {{30, 30}, {60, 60}}), 45));
  EXPECT_FALSE(medley::isFrameRateSupported(format(1, 1, {{1, 30}, {60, 60}}), 60));
  EXPECT_FALSE(medley::isFrameRateSupported(format(1, 1, {}), 30));
}

TEST(CaptureDeviceExtensionsTest, GravityScales) {
  using namespace medley::layerVideoGravity;
  const medley::PictureSize target{1920, 1080};
  EXPECT_EQ(medley::scale(resize, target, {1280, 720}), medley::scale(resizeAspectFill, target, {1280, 720}));
  EXPECT_DOUBLE_EQ(0.84375, medley::scale(resizeAspect, target, {720, 1280}).a);
  EXPECT_DOUBLE_EQ(1920.0 / 720, medley::scale(resizeAspectFill, target, {720, 1280}).d);
  const auto stretched = medley::scale(resize, target, {720, 1280});
  EXPECT_DOUBLE_EQ(1920.0 / 720, stretched.a);
  EXPECT_DOUBLE_EQ(1080.0 / 1280, stretched.d);
  EXPECT_EQ(medley::ScaleTransform(), medley::scale("AVLayerVideoGravitySomethingElse", target, {720, 1280}));
}

TEST(SampleBufferExtensionsTest, CompressedMeansNotAPixelFormat) {
  EXPECT_TRUE(medley::isCompressed(platform::FormatDescription::makeVideo(platform::codec::h264, 640, 480).get()));
  EXPECT_FALSE(medley::isCompressed(platform::FormatDescription::makeVideo(platform::fourCC("BGRA"), 640, 480).get()));
  EXPECT_FALSE(medley::isCompressed(nullptr));
}
