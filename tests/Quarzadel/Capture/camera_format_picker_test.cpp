#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Quarzadel/Capture/CameraFormatPicker.h"

namespace quarzadel {
namespace {

using Candidate = CameraFormatPicker::Candidate;

const StreamConfig k1080{};

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

}  // namespace
}  // namespace quarzadel
