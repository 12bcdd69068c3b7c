#include <gtest/gtest.h>

#include <map>

#include "Medley/Mixer/audio_mixer_test_support.h"
#include "Medley/Sources/Mixer/AudioMixerByMultiTrack.h"

using medley::AudioMixerByMultiTrack;
using medley::AudioMixerSettings;
using medley::AudioMixerTrackSettings;
using mixertest::amplitudeAt;
using mixertest::AudioFormat;
using mixertest::Collector;
using mixertest::CommonFormat;
using mixertest::tone;

namespace {

const AudioFormat kStereo(CommonFormat::float32, 48000, 2, true);
constexpr uint32_t kBlock = 1024;
constexpr int64_t kStart = 1000;
// Half a second: whole periods of every tone used here.
constexpr size_t kWindow = 24000;

struct Source {
  uint8_t track;
  double hz;
  double amplitude;
  AudioFormat format = kStereo;
  // Blocks [from, until) are delivered.
  int from = 0;
  int until = 1 << 30;
};

AudioMixerTrackSettings withVolume(float volume, bool isMuted = false) {
  AudioMixerTrackSettings settings;
  settings.volume = volume;
  settings.isMuted = isMuted;
  return settings;
}

// Feeds `blocks` blocks of each source, the main track last in each round.
void feed(AudioMixerByMultiTrack& mixer, const std::vector<Source>& sources, int blocks, int firstBlock = 0) {
  for (int b = firstBlock; b < firstBlock + blocks; ++b) {
    for (const auto& s : sources) {
      if (b < s.from || b >= s.until || s.track == mixer.settings().mainTrack) continue;
      const auto frames = static_cast<uint32_t>(kBlock * s.format.sampleRate() / 48000);
      const int64_t first = int64_t{b} * frames;
      mixer.append(s.track, *tone(s.format, s.hz, s.amplitude, first, frames),
                   platform::AudioTime::withSampleTime(kStart + first, s.format.sampleRate()));
    }
    for (const auto& s : sources) {
      if (s.track != mixer.settings().mainTrack || b < s.from || b >= s.until) continue;
      const int64_t first = int64_t{b} * kBlock;
      mixer.append(s.track, *tone(s.format, s.hz, s.amplitude, first, kBlock),
                   platform::AudioTime::withSampleTime(kStart + first, s.format.sampleRate()));
    }
  }
}

struct Mix {
  std::shared_ptr<Collector> out = std::make_shared<Collector>();
  AudioMixerByMultiTrack mixer;
  explicit Mix(std::map<uint8_t, AudioMixerTrackSettings> tracks = {}, uint8_t mainTrack = 0) {
    mixer.setDelegate(out);
    AudioMixerSettings settings;
    settings.mainTrack = mainTrack;
    settings.tracks = std::move(tracks);
    mixer.setSettings(settings);
  }
};

}  // namespace

TEST(AudioMixerByMultiTrackTest, TwoTonesComeOutAtTheirTrackVolumes) {
  Mix mix({{0, withVolume(0.8f)}, {1, withVolume(0.4f)}});
  feed(mix.mixer, {{0, 440, 0.5}, {1, 880, 0.5}}, 40);
  ASSERT_EQ(40u, mix.out->lengths.size());
  const auto window = mix.out->window(-static_cast<int64_t>(kWindow), kWindow);
  EXPECT_NEAR(0.4, amplitudeAt(window, 440, 48000), 0.005);
  EXPECT_NEAR(0.2, amplitudeAt(window, 880, 48000), 0.005);
  EXPECT_LT(amplitudeAt(window, 660, 48000), 0.002);
  EXPECT_EQ(0u, mix.mixer.mixerNode()->limitedBlocks());
}

TEST(AudioMixerByMultiTrackTest, MutingATrackRemovesOnlyItsTone) {
  Mix mix({{0, withVolume(0.8f)}, {1, withVolume(0.4f, true)}});
  feed(mix.mixer, {{0, 440, 0.5}, {1, 880, 0.5}}, 40);
  const auto window = mix.out->window(-static_cast<int64_t>(kWindow), kWindow);
  EXPECT_NEAR(0.4, amplitudeAt(window, 440, 48000), 0.005);
  EXPECT_LT(amplitudeAt(window, 880, 48000), 1e-4);

  // Unmuting it later brings it back.
  auto settings = mix.mixer.settings();
  settings.tracks[1].isMuted = false;
  mix.mixer.setSettings(settings);
  feed(mix.mixer, {{0, 440, 0.5}, {1, 880, 0.5}}, 40, 40);
  const auto after = mix.out->window(-static_cast<int64_t>(kWindow), kWindow);
  EXPECT_NEAR(0.2, amplitudeAt(after, 880, 48000), 0.005);
}

TEST(AudioMixerByMultiTrackTest, TrackNumbersWithGapsAllMix) {
  // Tracks 0, 3 and 200: bus numbers far beyond the number of tracks.
  Mix mix({{3, withVolume(0.5f)}, {200, withVolume(0.5f)}});
  feed(mix.mixer, {{0, 440, 0.3}, {3, 880, 0.3}, {200, 1320, 0.3}}, 40);
  ASSERT_TRUE(mix.mixer.mixerNode());
  EXPECT_TRUE(mix.out->errors.empty());
  const auto window = mix.out->window(-static_cast<int64_t>(kWindow), kWindow);
  EXPECT_NEAR(0.3, amplitudeAt(window, 440, 48000), 0.005);
  EXPECT_NEAR(0.15, amplitudeAt(window, 880, 48000), 0.005);
  EXPECT_NEAR(0.15, amplitudeAt(window, 1320, 48000), 0.005);

  // A main track other than 0, with a lower-numbered track beside it.
  Mix other({}, 9);
  feed(other.mixer, {{9, 440, 0.3}, {2, 880, 0.3}}, 40);
  const auto w = other.out->window(-static_cast<int64_t>(kWindow), kWindow);
  EXPECT_NEAR(0.3, amplitudeAt(w, 440, 48000), 0.005);
  EXPECT_NEAR(0.3, amplitudeAt(w, 880, 48000), 0.005);
}

TEST(AudioMixerByMultiTrackTest, MuteAndVolumeSurviveAChangeOfFormat) {
  Mix mix({{1, withVolume(0.5f, true)}, {2, withVolume(0.25f)}});
  feed(mix.mixer, {{0, 440, 0.5}, {1, 880, 0.5}, {2, 1320, 0.8}}, 20);
  ASSERT_TRUE(mix.out->format.isInterleaved());

  // The main track turns planar: the output format follows and every track is rebuilt.
  const AudioFormat planar(CommonFormat::float32, 48000, 2, false);
  feed(mix.mixer, {{0, 440, 0.5, planar}, {1, 880, 0.5}, {2, 1320, 0.8}}, 40, 20);
  EXPECT_FALSE(mix.out->format.isInterleaved());
  auto window = mix.out->window(-static_cast<int64_t>(kWindow), kWindow);
  EXPECT_NEAR(0.5, amplitudeAt(window, 440, 48000), 0.005);
  EXPECT_LT(amplitudeAt(window, 880, 48000), 1e-4);
  EXPECT_NEAR(0.2, amplitudeAt(window, 1320, 48000), 0.005);

  // Track 1 itself changes to 16-bit at 44.1 kHz: its converter is rebuilt, still muted.
  const AudioFormat int16At44(CommonFormat::int16, 44100, 2, true);
  feed(mix.mixer, {{0, 440, 0.5, planar}, {1, 880, 0.5, int16At44}, {2, 1320, 0.8}}, 40, 60);
  window = mix.out->window(-static_cast<int64_t>(kWindow), kWindow);
  EXPECT_LT(amplitudeAt(window, 880, 48000), 1e-4);
  EXPECT_NEAR(0.2, amplitudeAt(window, 1320, 48000), 0.005);
  EXPECT_EQ(int16At44, mix.mixer.inputFormats().at(1));
}

TEST(AudioMixerByMultiTrackTest, ConvertedTracksKeepTheirPitchAndLevel) {
  Mix mix;
  const AudioFormat int16At44(CommonFormat::int16, 44100, 2, true);
  const AudioFormat monoInt32(CommonFormat::int32, 48000, 1, false);
  feed(mix.mixer, {{0, 440, 0.3}, {1, 880, 0.3, int16At44}, {2, 1320, 0.3, monoInt32}}, 60);
  const auto window = mix.out->window(-static_cast<int64_t>(kWindow), kWindow);
  EXPECT_NEAR(0.3, amplitudeAt(window, 440, 48000), 0.005);
  EXPECT_NEAR(0.3, amplitudeAt(window, 880, 48000), 0.01);
  EXPECT_NEAR(0.3, amplitudeAt(window, 1320, 48000), 0.005);
  // The mono track reaches both channels.
  const std::vector<float> right(mix.out->right.end() - kWindow, mix.out->right.end());
  EXPECT_NEAR(0.3, amplitudeAt(right, 1320, 48000), 0.005);
}

TEST(AudioMixerByMultiTrackTest, SilentOrStoppedTracksAddNothing) {
  Mix alone;
  feed(alone.mixer, {{0, 440, 0.5}}, 60);

  // A track of digital silence changes no sample.
  Mix silent;
  feed(silent.mixer, {{0, 440, 0.5}, {1, 880, 0.0}}, 60);
  EXPECT_EQ(alone.out->left, silent.out->left);

  // A track that stops delivering after block 20 is silence from when its
  // buffered blocks ran out, never a repeat of what it played.
  Mix stopped;
  feed(stopped.mixer, {{0, 440, 0.5}, {1, 880, 0.5, kStereo, 0, 20}}, 60);
  ASSERT_EQ(alone.out->left.size(), stopped.out->left.size());
  const size_t from = 22 * kBlock;
  EXPECT_TRUE(std::equal(alone.out->left.begin() + from, alone.out->left.end(), stopped.out->left.begin() + from));
  EXPECT_NEAR(0.5, amplitudeAt(stopped.out->window(10 * kBlock, 4800), 880, 48000), 0.005);

  // And one that starts late joins without disturbing what came before.
  Mix late;
  feed(late.mixer, {{0, 440, 0.5}, {1, 880, 0.5, kStereo, 30}}, 60);
  EXPECT_TRUE(std::equal(alone.out->left.begin(), alone.out->left.begin() + 30 * kBlock, late.out->left.begin()));
  EXPECT_NEAR(0.5, amplitudeAt(late.out->window(-static_cast<int64_t>(kWindow), kWindow), 880, 48000), 0.005);
}

TEST(AudioMixerByMultiTrackTest, LoudSumsAreLimitedNotClipped) {
  Mix mix;
  feed(mix.mixer, {{0, 440, 0.9}, {1, 880, 0.9}}, 40);
  EXPECT_LE(mixertest::peakOf(mix.out->left), 1.0f);
  EXPECT_LE(mixertest::peakOf(mix.out->right), 1.0f);
  EXPECT_GT(mix.mixer.mixerNode()->limitedBlocks(), 0u);
  // Both tones stay, lowered together rather than squared off.
  const auto window = mix.out->window(-static_cast<int64_t>(kWindow), kWindow);
  const double low = amplitudeAt(window, 440, 48000);
  const double high = amplitudeAt(window, 880, 48000);
  EXPECT_GT(low, 0.45);
  EXPECT_NEAR(1.0, low / high, 0.05);
  EXPECT_LT(amplitudeAt(window, 1320, 48000), 0.02);  // little distortion
}

TEST(AudioMixerByMultiTrackTest, VolumesAreClampedToUnity) {
  Mix mix({{0, withVolume(2.0f)}, {1, withVolume(-1.0f)}});
  feed(mix.mixer, {{0, 440, 0.5}, {1, 880, 0.5}}, 30);
  const auto window = mix.out->window(-static_cast<int64_t>(kWindow), kWindow);
  EXPECT_NEAR(0.5, amplitudeAt(window, 440, 48000), 0.005);
  EXPECT_LT(amplitudeAt(window, 880, 48000), 1e-4);
}

TEST(AudioMixerByMultiTrackTest, MainTrackPacesTheOutputAndItsTimes) {
  Mix mix;
  const platform::Nanos host = platform::seconds(5);
  for (int b = 0; b < 3; ++b) {
    mix.mixer.append(0, *tone(kStereo, 440, 0.5, b * kBlock, kBlock),
                     platform::AudioTime::with(host + b * platform::Nanos{21333333}, kStart + b * kBlock, 48000));
  }
  ASSERT_EQ(3u, mix.out->times.size());
  for (int b = 0; b < 3; ++b) {
    EXPECT_EQ(kBlock, mix.out->lengths[b]);
    EXPECT_EQ(kStart + b * kBlock, mix.out->times[b].sampleTime);
    ASSERT_TRUE(mix.out->times[b].hostTimeValid);
    EXPECT_NEAR(static_cast<double>(host + b * 21333333), static_cast<double>(mix.out->times[b].hostTime), 1000);
  }

  // Audio of other tracks alone drives nothing; a muted mixer keeps its blocks and times, all zero.
  mix.mixer.append(1, *tone(kStereo, 880, 0.5, 0, kBlock), platform::AudioTime::withSampleTime(kStart, 48000));
  EXPECT_EQ(3u, mix.out->times.size());
  auto settings = mix.mixer.settings();
  settings.isMuted = true;
  mix.mixer.setSettings(settings);
  mix.mixer.append(0, *tone(kStereo, 440, 0.5, 3 * kBlock, kBlock),
                   platform::AudioTime::withSampleTime(kStart + 3 * kBlock, 48000));
  ASSERT_EQ(4u, mix.out->times.size());
  EXPECT_EQ(kStart + 3 * kBlock, mix.out->times[3].sampleTime);
  EXPECT_EQ(0.0f, mixertest::peakOf(mix.out->window(3 * kBlock, kBlock)));
}
