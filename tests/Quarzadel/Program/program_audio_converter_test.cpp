#include "Quarzadel/Program/ProgramAudioConverter.h"

#include <cmath>
#include <numbers>

#include <gtest/gtest.h>

#include "Quarzadel/Program/ProgramAudioTimeline.h"
#include "program_test_support.h"

namespace quarzadel {
namespace {

using testing::makeBuffer;

platform::AudioFormat program() { return ProgramAudioTimeline::outputFormat(); }

TEST(ProgramAudioConverter, OtherRatesGoThroughOneCachedConverterThatFeedsMonoToBothChannels) {
  ProgramAudioConverter converter(program());
  int64_t total = 0;
  uint32_t frames441 = 0;
  std::vector<float> left, right;
  for (int k = 0; k < 50; ++k) {
    auto in = makeBuffer(44100, 1, 441, [k](uint32_t, uint32_t i) {
      return 0.5f * static_cast<float>(std::sin(2 * std::numbers::pi * 1000 * (k * 441 + i) / 44100.0));
    });
    auto out = converter.convert(in);
    ASSERT_TRUE(out) << k;
    if (k == 0) {
      EXPECT_EQ(out->frameCapacity(), 441u * 48000 / 44100 + 16);
      frames441 = out->frameLength();
    }
    total += out->frameLength();
    left.insert(left.end(), out->floatChannelData()[0], out->floatChannelData()[0] + out->frameLength());
    right.insert(right.end(), out->floatChannelData()[1], out->floatChannelData()[1] + out->frameLength());
  }
  EXPECT_TRUE(converter.hasConverter());
  EXPECT_LE(frames441, 496u);
  // 0.5 s in, 0.5 s out, less the filter's delay.
  EXPECT_NEAR(static_cast<double>(total), 24000, 200);
  EXPECT_EQ(left, right);
  // The filter state carries across buffers: the joined sine has no click.
  float peak = 0;
  for (size_t i = 1000; i < left.size(); ++i) peak = std::max(peak, std::fabs(left[i]));
  EXPECT_NEAR(peak, 0.5f, 0.02f);
  for (size_t i = 1001; i < left.size(); ++i) ASSERT_LT(std::fabs(left[i] - left[i - 1]), 0.1f) << i;
}

TEST(ProgramAudioConverter, AFormatNoConverterTakesIsRefusedUntilTheFormatChanges) {
  ProgramAudioConverter converter(program());
  // A fractional rate: the buffer exists, but no resampler takes it.
  auto odd = makeBuffer(44100.5, 1, 16, [](uint32_t, uint32_t) { return 0.25f; });
  EXPECT_FALSE(converter.convert(odd));
  EXPECT_FALSE(converter.convert(odd));
  auto fine = makeBuffer(48000, 2, 16, [](uint32_t, uint32_t) { return 0.25f; });
  EXPECT_TRUE(converter.convert(fine));
}

}  // namespace
}  // namespace quarzadel
