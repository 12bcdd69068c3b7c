#include <gtest/gtest.h>

#include "Medley/Mixer/audio_mixer_test_support.h"
#include "Medley/Sources/Extension/PCMBufferExtensions.h"
#include "Medley/Sources/Mixer/AudioMixerBySingleTrack.h"

using medley::AudioMixerBySingleTrack;
using medley::AudioMixerSettings;
using medley::AudioMixerTrackSettings;
using mixertest::amplitudeAt;
using mixertest::AudioFormat;
using mixertest::Collector;
using mixertest::CommonFormat;
using mixertest::tone;

namespace {

constexpr uint32_t kBlock = 1024;

void feed(AudioMixerBySingleTrack& mixer, uint8_t track, const AudioFormat& format, double hz, int blocks,
          int first = 0) {
  for (int b = first; b < first + blocks; ++b)
    mixer.append(track, *tone(format, hz, 0.5, int64_t{b} * kBlock, kBlock),
                 platform::AudioTime::withSampleTime(500 + int64_t{b} * kBlock, format.sampleRate()));
}

}  // namespace

TEST(AudioMixerBySingleTrackTest, OnlyTheMainTrackPassesAndSetsTheOutputFormat) {
  auto out = std::make_shared<Collector>();
  AudioMixerBySingleTrack mixer;
  mixer.setDelegate(out);
  feed(mixer, 1, AudioFormat(CommonFormat::float32, 48000, 2, true), 880, 4);
  EXPECT_TRUE(out->times.empty());
  EXPECT_FALSE(mixer.outputFormat());

  const AudioFormat cd(CommonFormat::int16, 44100, 2, true);
  feed(mixer, 0, cd, 440, 3);
  ASSERT_TRUE(mixer.outputFormat());
  EXPECT_EQ(AudioFormat(CommonFormat::float32, 44100, 2, true), *mixer.outputFormat());
  const auto* track = mixer.track();
  feed(mixer, 0, cd, 440, 3, 3);
  EXPECT_EQ(track, mixer.track());  // the same format builds the track once
  ASSERT_EQ(6u, out->times.size());
  EXPECT_EQ(500, out->times[0].sampleTime);
  EXPECT_EQ(500 + 1024, out->times[1].sampleTime);
  EXPECT_EQ(cd, mixer.inputFormats().at(0));

  // 96 kHz comes out at 48 kHz.
  AudioMixerBySingleTrack high;
  high.append(0, *tone(AudioFormat(CommonFormat::float32, 96000, 4, false), 440, 0.5, 0, kBlock),
              platform::AudioTime::withSampleTime(1, 96000));
  EXPECT_EQ(AudioFormat(CommonFormat::float32, 48000, 2, false), *high.outputFormat());
}

TEST(AudioMixerBySingleTrackTest, MuteKeepsBlocksAndTimesAndSurvivesAFormatChange) {
  auto out = std::make_shared<Collector>();
  AudioMixerBySingleTrack mixer;
  mixer.setDelegate(out);
  AudioMixerTrackSettings mutedTrack;
  mutedTrack.isMuted = true;
  mixer.setSettings(AudioMixerSettings(0, 0, false, 0, {{0, mutedTrack}}));
  const AudioFormat stereo(CommonFormat::float32, 48000, 2, true);
  feed(mixer, 0, stereo, 440, 10);
  ASSERT_EQ(10u, out->times.size());
  EXPECT_EQ(0.0f, mixertest::peakOf(out->left));

  // Another microphone format: a new track, which is still muted.
  feed(mixer, 0, AudioFormat(CommonFormat::int16, 44100, 1, false), 440, 10, 10);
  EXPECT_EQ(44100, mixer.outputFormat()->sampleRate());
  EXPECT_EQ(0.0f, mixertest::peakOf(out->left));

  // Unmuting the track brings the tone; muting the whole mixer silences it again, blocks still coming.
  mixer.setSettings(AudioMixerSettings());
  EXPECT_TRUE(mixer.track()->settings().isMuted);  // no entry for the main track: unchanged
  mixer.setSettings(AudioMixerSettings(0, 0, false, 0, {{0, AudioMixerTrackSettings{}}}));
  feed(mixer, 0, AudioFormat(CommonFormat::int16, 44100, 1, false), 440, 10, 20);
  EXPECT_NEAR(0.5, amplitudeAt(out->window(-4410, 4410), 440, 44100), 0.01);
  const size_t before = out->times.size();
  mixer.setSettings(AudioMixerSettings(0, 0, true, 0, {}));
  feed(mixer, 0, AudioFormat(CommonFormat::int16, 44100, 1, false), 440, 5, 30);
  EXPECT_EQ(before + 5, out->times.size());
  EXPECT_EQ(0.0f, mixertest::peakOf(out->window(-5 * 1024, 5 * 1024)));
}

TEST(AudioMixerBySingleTrackTest, WithoutADelegateNothingIsDelivered) {
  AudioMixerBySingleTrack mixer;
  feed(mixer, 0, AudioFormat(CommonFormat::float32, 48000, 2, true), 440, 3);
  EXPECT_TRUE(mixer.outputFormat());
  ASSERT_TRUE(mixer.track());
  auto out = std::make_shared<Collector>();
  mixer.setDelegate(out);
  out.reset();  // held weakly: gone with its owner
  feed(mixer, 0, AudioFormat(CommonFormat::float32, 48000, 2, true), 440, 3, 3);
}
