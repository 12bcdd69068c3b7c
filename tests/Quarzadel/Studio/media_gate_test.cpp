// The media gate: nothing before the first picture, late pictures dropped,
// sound from the first picture's time plus 0.044 s cut at the nearest sample.
#include <gtest/gtest.h>

#include "Quarzadel/Studio/MediaGate.h"
#include "Platform/Media/PixelBuffer.h"
#include "Platform/Media/SampleBuffer.h"

namespace quarzadel {
namespace {

platform::SampleBufferRef picture(double at) {
  auto image = platform::PixelBuffer::make(16, 16, platform::PixelFormat::nv12VideoRange);
  platform::SampleTiming timing;
  timing.presentationTime = platform::MediaTime::fromSeconds(at, 90000);
  return platform::SampleBuffer::makeImage(image, timing);
}

// 48 kHz stereo planar; sample i of channel c holds i + 1000 c.
platform::PCMBufferRef ramp(uint32_t frames) {
  auto buffer = platform::PCMBuffer::make(platform::AudioFormat::standard(48000, 2), frames);
  buffer->setFrameLength(frames);
  for (uint32_t c = 0; c < 2; ++c)
    for (uint32_t i = 0; i < frames; ++i) buffer->floatChannelData()[c][i] = static_cast<float>(i + 1000 * c);
  return buffer;
}

platform::AudioTime timeAt(double seconds, int64_t sampleTime = 5000) {
  return platform::AudioTime::with(static_cast<platform::Nanos>(seconds * 1e9), sampleTime, 48000);
}

struct CapturingSink final : MediaSink {
  std::vector<double> pictures;
  std::vector<std::pair<platform::PCMBufferRef, platform::AudioTime>> sound;
  void append(const platform::SampleBufferRef& v) override { pictures.push_back(v->presentationTime().seconds()); }
  void append(const platform::PCMBufferRef& a, const platform::AudioTime& w) override { sound.emplace_back(a, w); }
};

TEST(MediaGate, PassesNothingUntilTheFirstPictureThenSoundFromFortyFourMillisecondsAfterIt) {
  MediaGate gate;
  auto sink = std::make_shared<CapturingSink>();
  gate.append(picture(1.0));
  gate.arm(sink);
  gate.append(ramp(1024), timeAt(10.0));
  gate.append(picture(10.0));
  gate.append(picture(9.99));  // late
  gate.append(picture(10.0));  // same time passes
  EXPECT_EQ(sink->pictures, (std::vector<double>{10.0, 10.0}));
  EXPECT_EQ(gate.takeVideoFrames(), 2);
  EXPECT_EQ(gate.takeVideoFrames(), 0);
  // Ends exactly at the threshold: dropped; starts exactly at it: unchanged.
  gate.append(ramp(2112), timeAt(10.0));
  EXPECT_TRUE(sink->sound.empty());
  auto whole = ramp(480);
  gate.append(whole, timeAt(10.044));
  ASSERT_EQ(sink->sound.size(), 1u);
  EXPECT_EQ(sink->sound[0].first, whole);

  // A new arming waits for its own first picture, whatever its time. Sound
  // straddling the threshold: 0.044 − 0.04 = 4 ms = 192 samples skipped.
  auto cut = std::make_shared<CapturingSink>();
  gate.arm(cut);
  gate.append(ramp(480), timeAt(20.0));
  gate.append(picture(5.0));
  gate.append(ramp(1024), timeAt(5.04, 7000));
  EXPECT_EQ(cut->pictures, std::vector<double>{5.0});
  EXPECT_EQ(sink->pictures.size(), 2u);
  ASSERT_EQ(cut->sound.size(), 1u);
  const auto& [buffer, when] = cut->sound[0];
  EXPECT_EQ(buffer->frameLength(), 1024u - 192u);
  EXPECT_EQ(buffer->floatChannelData()[0][0], 192.0f);
  EXPECT_EQ(buffer->floatChannelData()[1][0], 1192.0f);
  EXPECT_EQ(when.sampleTime, 7192);
  EXPECT_NEAR(when.hostSeconds(), 5.044, 1e-9);

  gate.close();
  gate.append(picture(11.0));
  gate.append(ramp(1024), timeAt(11.0));
  EXPECT_EQ(cut->pictures.size(), 1u);
  EXPECT_EQ(cut->sound.size(), 1u);
  EXPECT_FALSE(gate.isOpen());
}

}  // namespace
}  // namespace quarzadel
