#include <cmath>
#include <numbers>
#include <vector>

#include <gtest/gtest.h>

#include "Quarzadel/Program/AudioLevelMeter.h"

namespace quarzadel {
namespace {

// A full-scale 1 kHz sine at 48 kHz.
std::vector<float> sine(int frames) {
  std::vector<float> v(frames);
  for (int i = 0; i < frames; ++i) v[i] = static_cast<float>(std::sin(2 * std::numbers::pi * 1000 * i / 48000.0));
  return v;
}

TEST(AudioLevelMeter, RmsAndPeakSpanBothChannelsAndBothSigns) {
  AudioLevelMeter meter;
  const auto s = sine(4800);
  meter.addChannel(s.data(), static_cast<int64_t>(s.size()));
  meter.addChannel(s.data(), static_cast<int64_t>(s.size()));
  auto level = meter.takeLevel(1000.0);
  ASSERT_TRUE(level);
  EXPECT_NEAR(level->rms, (60 - 3.0103f) / 60, 1e-3);  // a full-scale sine is at -3 dBFS
  EXPECT_NEAR(level->peak, 1.0f, 1e-4);

  std::vector<float> left(1000, 0.01f), right(1000, 0.01f);
  right[777] = -0.1f;
  meter.addChannel(left.data(), 1000);
  meter.addChannel(right.data(), 1000);
  level = meter.takeLevel(1001.0);
  ASSERT_TRUE(level);
  EXPECT_NEAR(level->peak, 40.0f / 60, 1e-5);
}

}  // namespace
}  // namespace quarzadel
