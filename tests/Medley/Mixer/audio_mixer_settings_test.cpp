#include <gtest/gtest.h>

#include "Medley/Sources/Mixer/AudioMixerSettings.h"

using medley::AudioMixerSettings;
using medley::AudioMixerTrackSettings;
using platform::AudioFormat;
using platform::CommonFormat;

namespace {

std::optional<AudioFormat> outputFor(const AudioMixerSettings& settings, const AudioFormat& input) {
  return settings.makeOutputFormat(input.makeFormatDescription().get());
}

}  // namespace

TEST(AudioMixerSettingsTest, OutputFormatFollowsTheInputWithinTheLimits) {
  AudioMixerSettings settings;
  EXPECT_EQ(AudioFormat(CommonFormat::float32, 48000, 2, false),
            outputFor(settings, AudioFormat(CommonFormat::float32, 96000, 4, false)));
  EXPECT_EQ(AudioFormat(CommonFormat::float32, 44100, 2, true),
            outputFor(settings, AudioFormat(CommonFormat::int16, 44100, 2, true)));
  settings.channels = 4;
  const auto quad = outputFor(settings, AudioFormat(CommonFormat::float32, 48000, 2, true));
  ASSERT_TRUE(quad);
  EXPECT_EQ(4u, quad->channelCount());
  EXPECT_EQ(platform::channelLayoutTag::quadraphonic, quad->channelLayoutTag());
  settings = AudioMixerSettings();
  settings.sampleRate = 44100;
  EXPECT_EQ(44100, outputFor(settings, AudioFormat(CommonFormat::float32, 48000, 2, true))->sampleRate());
  settings = AudioMixerSettings();
  settings.maximumNumberOfChannels = 1;
  EXPECT_EQ(1u, outputFor(settings, AudioFormat(CommonFormat::float32, 48000, 2, true))->channelCount());
  EXPECT_FALSE(settings.makeOutputFormat(nullptr));
}

TEST(AudioMixerSettingsTest, CodingUsesTheKeysAndAFlatTrackList) {
  AudioMixerTrackSettings track;
  track.volume = 0.5f;
  track.channelMap = std::vector<int>{1, 0};
  AudioMixerSettings settings(44100, 2, true, 3, {{3, track}, {7, AudioMixerTrackSettings{}}});
  const nlohmann::json json = settings;
  EXPECT_EQ(nlohmann::json::parse(R"({"sampleRate":44100.0,"channels":2,"isMuted":true,"mainTrack":3,
      "tracks":[3,{"volume":0.5,"isMuted":false,"downmix":true,"channelMap":[1,0]},
                7,{"volume":1.0,"isMuted":false,"downmix":true}],
      "maximumNumberOfChannels":2})"),
            json);
  EXPECT_EQ(settings, json.get<AudioMixerSettings>());

  auto missing = json;
  missing.erase("maximumNumberOfChannels");
  EXPECT_THROW(missing.get<AudioMixerSettings>(), nlohmann::json::exception);
  auto odd = json;
  odd["tracks"] = nlohmann::json::array({3});
  EXPECT_THROW(odd.get<AudioMixerSettings>(), nlohmann::json::exception);
  const auto decoded = nlohmann::json::parse(R"({"volume":0.25,"isMuted":true,"downmix":false})")
                           .get<AudioMixerTrackSettings>();
  EXPECT_FALSE(decoded.channelMap);
  EXPECT_TRUE(decoded.isMuted);
  EXPECT_THROW(nlohmann::json::parse(R"({"volume":0.25,"isMuted":true})").get<AudioMixerTrackSettings>(),
               nlohmann::json::exception);
}

TEST(AudioMixerSettingsTest, NumbersOutOfTheirRangeAreRefusedNotWrapped) {
  const nlohmann::json json = AudioMixerSettings(48000, 2, false, 0, {{1, AudioMixerTrackSettings{}}});
  const auto with = [&](const char* key, nlohmann::json value) {
    auto changed = json;
    changed[key] = std::move(value);
    return changed;
  };
  for (const auto& bad : {with("mainTrack", 300), with("mainTrack", -1), with("mainTrack", 1.5),
                          with("channels", -1), with("maximumNumberOfChannels", -2),
                          with("tracks", nlohmann::json::array({-1, json["tracks"][1]})),
                          with("tracks", nlohmann::json::array({256, json["tracks"][1]}))}) {
    EXPECT_THROW(bad.get<AudioMixerSettings>(), nlohmann::json::exception) << bad.dump();
  }
  EXPECT_EQ(with("mainTrack", 255).get<AudioMixerSettings>().mainTrack, 255);
}
