#include <gtest/gtest.h>

#include <complex>
#include <numbers>

#include "Medley/Mixer/audio_mixer_test_support.h"
#include "Medley/Sources/Extension/PCMBufferExtensions.h"
#include "Medley/Sources/Mixer/AudioMixerTrack.h"

using medley::AudioMixerTrack;
using medley::AudioMixerTrackSettings;
using mixertest::amplitudeAt;
using mixertest::AudioFormat;
using mixertest::CommonFormat;
using mixertest::tone;

namespace {

const AudioFormat kStereo(CommonFormat::float32, 48000, 2, false);

class Blocks final : public medley::AudioMixerTrackDelegate {
 public:
  void trackDidOutput(AudioMixerTrack&, const platform::PCMBuffer& buffer, const platform::AudioTime& when) override {
    times.push_back(when.sampleTime);
    for (uint32_t f = 0; f < buffer.frameLength(); ++f) {
      left.push_back(buffer.floatChannelData()[0][f]);
      right.push_back(buffer.floatChannelData()[1][f]);
    }
  }
  std::vector<int64_t> times;
  std::vector<float> left, right;
};

// A stereo buffer whose left channel is 0.25 and right channel -0.5.
platform::PCMBufferRef leftRight(uint32_t frames) {
  auto b = platform::PCMBuffer::make(kStereo, frames);
  b->setFrameLength(frames);
  for (uint32_t f = 0; f < frames; ++f) {
    b->floatChannelData()[0][f] = 0.25f;
    b->floatChannelData()[1][f] = -0.5f;
  }
  return b;
}

}  // namespace

TEST(AudioMixerTrackTest, EmitsWholeBlocksFromTheFirstAppendsTime) {
  Blocks out;
  AudioMixerTrack track(0, kStereo);
  track.setDelegate(&out);
  track.append(*tone(kStereo, 440, 0.5, 0, 1000), platform::AudioTime::withSampleTime(7000, 48000));
  EXPECT_TRUE(out.times.empty());
  track.append(*tone(kStereo, 440, 0.5, 1000, 1100), platform::AudioTime::withSampleTime(8000, 48000));
  EXPECT_EQ((std::vector<int64_t>{7000, 8024}), out.times);

  // A new format restarts the times from the next append's.
  track.append(*tone(AudioFormat(CommonFormat::int16, 48000, 2, true), 440, 0.5, 0, 1024),
               platform::AudioTime::withSampleTime(90000, 48000));
  EXPECT_EQ(90000, out.times.back());
}

TEST(AudioMixerTrackTest, RateConversionLosesNoFramesAcrossSmallAppends) {
  Blocks out;
  AudioMixerTrack track(0, kStereo);
  track.setDelegate(&out);
  const AudioFormat cd(CommonFormat::int16, 44100, 2, true);
  // Two seconds in uneven pieces, so that conversions often run dry with part of a block made.
  int64_t at = 0;
  const uint32_t sizes[] = {441, 100, 17, 1500, 333};
  for (size_t i = 0; at < 88200; ++i) {
    const uint32_t n = sizes[i % 5];
    track.append(*tone(cd, 440, 0.5, at, n), platform::AudioTime::withSampleTime(at + 1, 44100));
    at += n;
  }
  // About as many output frames as input went in (less the resampler's short delay), with no holes.
  const double expected = static_cast<double>(at) * 48000 / 44100;
  EXPECT_NEAR(expected, static_cast<double>(out.left.size()), 1024 + 64);
  const size_t n = 48000;
  std::vector<float> window(out.left.end() - static_cast<std::ptrdiff_t>(n), out.left.end());
  EXPECT_NEAR(0.5, amplitudeAt(window, 440, 48000), 0.005);
  // A dropped or repeated frame anywhere shifts the tone's phase: an early and a
  // late stretch must see the tone at the same phase against the ideal one.
  auto phaseAt = [&](size_t from) {
    std::complex<double> sum;
    for (size_t i = from; i < from + 4800; ++i)
      sum += double{out.left[i]} * std::polar(1.0, -2 * std::numbers::pi * 440 * static_cast<double>(i) / 48000);
    return sum;
  };
  EXPECT_NEAR(0.0, std::arg(phaseAt(4800) / phaseAt(out.left.size() - 4800)), 0.01);
}

TEST(AudioMixerTrackTest, ChannelMapsAndMute) {
  // Mono into stereo feeds both sides.
  {
    Blocks out;
    AudioMixerTrack track(0, kStereo);
    track.setDelegate(&out);
    track.append(*tone(AudioFormat(CommonFormat::float32, 48000, 1, false), 440, 0.5, 0, 1024),
                 platform::AudioTime::withSampleTime(1, 48000));
    EXPECT_EQ((std::vector<int>{0, 0}), track.audioConverter()->channelMap());
    EXPECT_EQ(out.left, out.right);
  }
  Blocks out;
  AudioMixerTrackSettings swapped;
  swapped.channelMap = std::vector<int>{1, 0};
  AudioMixerTrack track(0, kStereo, swapped);
  track.setDelegate(&out);
  track.append(*leftRight(1024), platform::AudioTime::withSampleTime(1, 48000));
  EXPECT_EQ(-0.5f, out.left.back());
  EXPECT_EQ(0.25f, out.right.back());

  // A map naming a channel the input lacks is ignored; the previous one stays.
  auto bad = swapped;
  bad.channelMap = std::vector<int>{2, 0};
  track.setSettings(bad);
  EXPECT_EQ((std::vector<int>{1, 0}), track.audioConverter()->channelMap());
  // Changing downmix alone leaves the map alone.
  auto noDownmix = bad;
  noDownmix.downmix = false;
  track.setSettings(noDownmix);
  EXPECT_FALSE(track.audioConverter()->downmix());
  EXPECT_EQ((std::vector<int>{1, 0}), track.audioConverter()->channelMap());

  // Muted blocks keep coming, with their times, all zero.
  auto muted = noDownmix;
  muted.isMuted = true;
  track.setSettings(muted);
  track.append(*leftRight(1024), platform::AudioTime::withSampleTime(1025, 48000));
  ASSERT_EQ(2u, out.times.size());
  EXPECT_EQ(1025, out.times[1]);
  EXPECT_EQ(0.0f, out.left.back());
  EXPECT_EQ(0.0f, out.right.back());
}

TEST(AudioMixerTrackTest, SampleBuffersAreTimedOnTheOutputRate) {
  Blocks out;
  AudioMixerTrack track(3, kStereo);
  track.setDelegate(&out);
  const AudioFormat cd(CommonFormat::int16, 44100, 2, true);
  for (int b = 0; b < 4; ++b) {
    auto buffer = tone(cd, 440, 0.5, b * 1024, 1024);
    auto sample = medley::makeSampleBuffer(
        *buffer, platform::AudioTime::with(platform::seconds(2) + b * 1024 * 1000000000LL / 44100, 0, 44100));
    ASSERT_TRUE(sample);
    track.append(*sample);
  }
  ASSERT_GE(out.times.size(), 3u);
  EXPECT_EQ(96000, out.times[0]);  // two seconds at 48 kHz
  EXPECT_EQ(96000 + 1024, out.times[1]);
}
