#include <gtest/gtest.h>

#include "Platform/Capture/CaptureFrameConverter.h"
#include "Platform/Capture/RecordedV4L2.h"
#include "Platform/Capture/V4L2FormatList.h"

namespace platform {
namespace {

using testing::RecordedDevice;

std::string describe(const VideoCaptureFormat& f) {
  std::string s = v4l2FourCCString(f.pixelFormat) + " " + std::to_string(f.width) + "x" + std::to_string(f.height);
  for (const auto& r : f.frameRateRanges)
    s += " " + std::to_string(r.minFrameDuration.numerator) + "/" + std::to_string(r.minFrameDuration.denominator);
  return s;
}

TEST(V4L2FormatList, EveryEncodingSizeAndIntervalOfADiscreteDeviceInTheDriversOrder) {
  const RecordedDevice device(testing::kUSBWebcam);
  const auto formats = enumerateV4L2Formats(device.ioctl(), nullptr);
  std::vector<std::string> seen;
  for (const auto& f : formats) seen.push_back(describe(f));
  EXPECT_EQ(seen, (std::vector<std::string>{"YUYV 640x480 1/30 1/24 1/20 1/15", "YUYV 320x240 1/30",
                                            "YUYV 1280x720 1/10 1/5", "YUYV 1920x1080 1/5", "MJPG 640x480 1/30",
                                            "MJPG 1280x720 1/60 1/30", "MJPG 1920x1080 1/30 1/15"}));
  EXPECT_FALSE(formats[0].isCompressed);
  EXPECT_TRUE(formats[4].isCompressed);
  // A discrete interval is a range whose two ends are equal.
  EXPECT_EQ(formats[5].frameRateRanges[0].minFrameRate, 60);
  EXPECT_EQ(formats[5].frameRateRanges[0].maxFrameRate, 60);
}

TEST(V4L2FormatList, NTSCRatesKeepTheirFraction) {
  const auto formats = enumerateV4L2Formats(RecordedDevice(testing::kLaptopCamera).ioctl(), nullptr);
  ASSERT_FALSE(formats.empty());
  EXPECT_EQ(formats[0].frameRateRanges[0].minFrameDuration, (FrameDuration{1000, 29970}));
  EXPECT_NEAR(formats[0].frameRateRanges[0].maxFrameRate, 29.97, 1e-9);
}

TEST(V4L2FormatList, StepwiseSizesAreSampledAndContinuousIntervalsBecomeOneRange) {
  const auto formats = testing::recordedFormats(testing::kStepwiseCamera);
  // RGB cannot be turned into pictures here: only NV12 is listed.
  ASSERT_FALSE(formats.empty());
  for (const auto& f : formats) EXPECT_EQ(v4l2FourCCString(f.pixelFormat), "NV12");
  EXPECT_EQ(formats.front().width, 4096);
  EXPECT_EQ(formats.front().height, 2160);
  EXPECT_NE(std::find_if(formats.begin(), formats.end(), [](const auto& f) { return f.width == 1920 && f.height == 1080; }),
            formats.end());
  const auto& range = formats.front().frameRateRanges.at(0);
  EXPECT_DOUBLE_EQ(range.minFrameRate, 1);
  EXPECT_DOUBLE_EQ(range.maxFrameRate, 60);
}

TEST(V4L2FormatList, SampledStepwiseSizesRespectBoundsAndSteps) {
  EXPECT_EQ(sampleStepwiseSizes(16, 1920, 2, 16, 1080, 2),
            (std::vector<FrameSize>{{1920, 1080}, {1280, 720}, {1024, 576}, {960, 540}, {640, 480}, {640, 360}}));
  // Steps of 16 from 16 exclude sizes that are not multiples of 16 past the minimum.
  const auto coarse = sampleStepwiseSizes(16, 1280, 16, 16, 720, 16);
  EXPECT_EQ(coarse.front(), (FrameSize{1280, 720}));
  for (const auto& s : coarse) EXPECT_EQ(s.height % 16, 0) << s.width << "x" << s.height;
  EXPECT_TRUE(sampleStepwiseSizes(16, 0, 2, 16, 0, 2).empty());
}

TEST(V4L2FormatList, ADriverThatNeverEndsAListIsCutOff) {
  const V4L2Ioctl endless = [](unsigned long request, void* arg) {
    if (request == VIDIOC_ENUM_FMT) {
      static_cast<v4l2_fmtdesc*>(arg)->pixelformat = V4L2_PIX_FMT_YUYV;
      return 0;
    }
    return -EINVAL;
  };
  EXPECT_LE(enumerateV4L2Formats(endless, nullptr).size(), 256u);
}

TEST(V4L2FormatList, FourCCStrings) {
  EXPECT_EQ(v4l2FourCCString(V4L2_PIX_FMT_MJPEG), "MJPG");
  EXPECT_EQ(v4l2FourCC("YUYV"), uint32_t(V4L2_PIX_FMT_YUYV));
}

}  // namespace
}  // namespace platform
