#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Platform/Capture/RecordedV4L2.h"
#include "Quarzadel/Capture/CameraFormatPicker.h"

namespace quarzadel {
namespace {

using Candidate = CameraFormatPicker::Candidate;

StreamConfig target(StreamConfig::Resolution r, double fps = 30) {
  StreamConfig c;
  c.resolution = r;
  c.frameRate = fps;
  return c;
}
const StreamConfig k1080 = target(StreamConfig::Resolution::hd1080);
const StreamConfig k720 = target(StreamConfig::Resolution::hd720);

double score(int w, int h, double fps, bool compressed = false, const StreamConfig& t = k1080) {
  return CameraFormatPicker::score(Candidate(0, w, h, fps, compressed), t);
}

TEST(CameraFormatPicker, ScoresSizeRateAndCompression) {
  struct Row {
    int w, h;
    double fps;
    bool compressed;
    const StreamConfig& target;
    double score;
  };
  for (const auto& r : std::vector<Row>{{1920, 1080, 30, false, k1080, 0},
                                        {1920, 1080, 60, false, k1080, 0},
                                        {1920, 1080, 29.97, false, k1080, 0},
                                        {1920, 1080, 25, false, k1080, -166.67},
                                        {1280, 720, 30, false, k1080, -222.22},
                                        {1920, 1080, 15, false, k1080, -500},
                                        {1280, 720, 30, false, k720, 0},
                                        {1920, 1080, 30, true, k1080, -5},
                                        {1920, 1080, 29.6, false, k1080, 0},  // within half a frame
                                        {1920, 1080, 29.4, false, k1080, -20},
                                        {1920, 1080, 0, false, k1080, -1000},  // no frame-rate range at all
                                        {1920, 1440, 30, false, k1080, -59.42},
                                        {3840, 2160, 30, false, k1080, -120},
                                        {640, 480, 30, false, k1080, -375.26},
                                        {1920, 1080, 30, false, k720, -70.2}})
    EXPECT_NEAR(score(r.w, r.h, r.fps, r.compressed, r.target), r.score, 0.005) << r.w << "x" << r.h << "@" << r.fps;
}

TEST(CameraFormatPicker, HeightZeroCountsAsOne) {
  const double zero = CameraFormatPicker::score(Candidate(0, 640, 0, 30, false), k1080);
  EXPECT_NEAR(zero, -400 - 120 * std::fabs(std::log(640 / (16.0 / 9.0))), 1e-9);
}

TEST(CameraFormatPicker, PickKeepsTheFirstOfEqualScoresAndIgnoresNaN) {
  EXPECT_FALSE(CameraFormatPicker::pick({}, k1080));
  // A single candidate is taken as it is, however bad.
  EXPECT_EQ(CameraFormatPicker::pick({Candidate(4, 160, 120, 5, true)}, k1080)->index, 4u);
  // Video and full range of the same size and rate score alike: the earlier wins.
  const auto tie = CameraFormatPicker::pick(
      {Candidate(0, 1280, 720, 30, false), Candidate(1, 1920, 1080, 30, false), Candidate(2, 1920, 1080, 30, false)},
      k1080);
  EXPECT_EQ(tie->index, 1u);
  // An endless target rate makes every score NaN: none replaces the first.
  StreamConfig endless = k1080;
  endless.frameRate = std::numeric_limits<double>::infinity();
  EXPECT_TRUE(std::isnan(CameraFormatPicker::score(Candidate(1, 1920, 1080, 30, false), endless)));
  EXPECT_EQ(CameraFormatPicker::pick({Candidate(0, 640, 480, 30, false), Candidate(1, 1920, 1080, 30, false)}, endless)
                ->index,
            0u);
}

// Recorded cameras: what the scoring makes of their real lists.
size_t pickIndex(const char* listing, const StreamConfig& t) {
  const auto formats = platform::testing::recordedFormats(listing);
  std::vector<Candidate> candidates;
  for (size_t i = 0; i < formats.size(); ++i) candidates.emplace_back(i, formats[i]);
  return CameraFormatPicker::pick(candidates, t)->index;
}

TEST(CameraFormatPicker, RecordedCamerasGetTheirBestFormat) {
  const auto webcam = platform::testing::recordedFormats(platform::testing::kUSBWebcam);
  // 1080p at 30 only as Motion JPEG: better than uncompressed 1080p at 5 fps.
  EXPECT_EQ(pickIndex(platform::testing::kUSBWebcam, k1080), 6u);
  EXPECT_EQ(platform::v4l2FourCCString(webcam[6].pixelFormat), "MJPG");
  EXPECT_EQ(webcam[6].width, 1920);
  // 720p: the 60 fps Motion JPEG gains nothing over 30 but is the only fast 720p.
  EXPECT_EQ(pickIndex(platform::testing::kUSBWebcam, k720), 5u);
  // The laptop camera's 29.97 fps 720p beats YUYV 720p at 10 fps, for both targets.
  EXPECT_EQ(pickIndex(platform::testing::kLaptopCamera, k1080), 0u);
  EXPECT_EQ(pickIndex(platform::testing::kLaptopCamera, k720), 0u);
  // A stepwise camera offers the exact target size.
  const auto stepwise = platform::testing::recordedFormats(platform::testing::kStepwiseCamera);
  const size_t i = pickIndex(platform::testing::kStepwiseCamera, k1080);
  EXPECT_EQ(stepwise[i].width, 1920);
  EXPECT_EQ(stepwise[i].height, 1080);
}

}  // namespace
}  // namespace quarzadel
