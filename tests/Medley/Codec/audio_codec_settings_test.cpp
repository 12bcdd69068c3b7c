#include <gtest/gtest.h>

#include "Medley/Sources/Codec/AudioCodecConverter.h"
#include "Medley/Sources/Codec/AudioCodecSettings.h"
#include "Medley/Sources/ISO/AACAudioConfig.h"
#include "Platform/Media/PCMBuffer.h"

using medley::AudioCodecConverter;
using medley::AudioCodecFormat;
using medley::AudioCodecSettings;
using platform::AudioFormat;
using platform::CommonFormat;

namespace {

AudioFormat pcm(double rate, uint32_t channels) { return AudioFormat(CommonFormat::float32, rate, channels, false); }

// One pull of `in` through the converter into a fresh buffer.
platform::PCMBufferRef convertOnce(AudioCodecConverter& converter, const platform::PCMBufferRef& in) {
  auto out = platform::PCMBuffer::make(converter.outputFormat(), in->frameLength());
  bool given = false;
  EXPECT_EQ(AudioCodecConverter::OutputStatus::haveData,
            converter.convert(*out, [&](uint32_t, AudioCodecConverter::InputStatus& s) -> platform::AudioBufferRef {
              s = given ? AudioCodecConverter::InputStatus::noDataNow : AudioCodecConverter::InputStatus::haveData;
              return std::exchange(given, true) ? nullptr : in;
            }));
  return out;
}

}  // namespace

TEST(AudioCodecSettingsTest, OutputFormatsRatesPacketSizesAndLayouts) {
  struct Case {
    AudioCodecFormat format;
    AudioFormat input;
    double rate;
    std::optional<std::vector<int>> map;
    double outRate;
    uint32_t channels, framesPerPacket;
    std::optional<uint32_t> layout;
  };
  const Case cases[] = {
      {AudioCodecFormat::aac, pcm(44100, 2), 0, std::nullopt, 44100, 2, 1024, std::nullopt},
      {AudioCodecFormat::aac, pcm(48000, 7), 0, std::nullopt, 48000, 7, 1024, std::nullopt},
      {AudioCodecFormat::aac, pcm(48000, 10), 0, std::nullopt, 48000, 8, 1024, std::nullopt},
      {AudioCodecFormat::aac, pcm(48000, 6), 0, std::nullopt, 48000, 6, 1024, medley::aacLayoutTag::mpeg_5_1_D},
      {AudioCodecFormat::aac, pcm(48000, 6), 0, std::vector<int>{0, 1}, 48000, 2, 1024, std::nullopt},
      {AudioCodecFormat::opus, pcm(44100, 2), 0, std::nullopt, 48000, 2, 960, std::nullopt},
      {AudioCodecFormat::opus, pcm(44100, 1), 16000, std::nullopt, 16000, 1, 320, std::nullopt},
      {AudioCodecFormat::pcm, pcm(48000, 2), 0, std::nullopt, 48000, 2, 1, std::nullopt},
  };
  for (const auto& c : cases) {
    auto out = medley::makeOutputFormat(c.format, c.input, c.rate, c.map);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->sampleRate(), c.outRate);
    EXPECT_EQ(out->channelCount(), c.channels);
    EXPECT_EQ(out->framesPerPacket(), c.framesPerPacket);
    EXPECT_EQ(out->channelLayoutTag(), c.layout);
  }
  EXPECT_EQ(2u, medley::makeOutputFormat(AudioCodecFormat::aac, pcm(44100, 2), 0, std::nullopt)->formatFlags());  // LC
  // Opus takes the nearest rate it supports (the lower one on a tie).
  EXPECT_EQ(8000, medley::makeSampleRate(AudioCodecFormat::opus, 10000, 0));
  EXPECT_EQ(24000, medley::makeSampleRate(AudioCodecFormat::opus, 36000, 0));
  EXPECT_EQ(48000, medley::makeSampleRate(AudioCodecFormat::opus, 96000, 0));
  EXPECT_EQ(12000, medley::makeSampleRate(AudioCodecFormat::opus, 48000, 11000));
  EXPECT_EQ(96000, medley::makeSampleRate(AudioCodecFormat::aac, 96000, 0));
  EXPECT_EQ(22050, medley::makeSampleRate(AudioCodecFormat::pcm, 48000, 22050));
}

TEST(AudioCodecSettingsTest, BitRatesAreBoundedToTheEncodersRange) {
  auto encoder = AudioCodecConverter::make(
      pcm(48000, 2), *medley::makeOutputFormat(AudioCodecFormat::aac, pcm(48000, 2), 0, std::nullopt));
  ASSERT_TRUE(encoder);
  const auto rates = encoder->applicableEncodeBitRates();
  ASSERT_FALSE(rates.empty());
  AudioCodecSettings loud(1'000'000'000, true, std::nullopt, 0, AudioCodecFormat::aac);
  loud.apply(encoder.get(), std::nullopt);
  EXPECT_EQ(rates.back(), encoder->bitRate());
  AudioCodecSettings quiet(1, true, std::nullopt, 0, AudioCodecFormat::aac);
  quiet.apply(encoder.get(), loud);
  EXPECT_EQ(rates.front(), encoder->bitRate());
}

TEST(AudioCodecSettingsTest, ChannelMapAndDownmixReachTheSound) {
  auto in = platform::PCMBuffer::make(pcm(48000, 2), 256);
  in->setFrameLength(256);
  std::fill_n(in->floatChannelData()[0], 256, 0.5f);
  std::fill_n(in->floatChannelData()[1], 256, -0.25f);
  auto swapper = AudioCodecConverter::make(pcm(48000, 2), pcm(48000, 2));
  const AudioCodecSettings swap(64000, true, std::vector<int>{1, 0}, 0, AudioCodecFormat::pcm);
  swap.apply(swapper.get(), std::nullopt);
  // Unusable maps leave the converter's map alone.
  for (const auto& map : {std::vector<int>{0, 2}, std::vector<int>{0, 1, 0}}) {
    AudioCodecSettings other = swap;
    other.channelMap = map;
    other.apply(swapper.get(), swap);
  }
  auto swapped = convertOnce(*swapper, in);
  EXPECT_EQ(-0.25f, swapped->floatChannelData()[0][100]);
  EXPECT_EQ(0.5f, swapped->floatChannelData()[1][100]);

  auto mono = AudioCodecConverter::make(pcm(48000, 2), pcm(48000, 1));
  ASSERT_TRUE(mono->downmix());
  auto mixed = convertOnce(*mono, in);
  EXPECT_GT(mixed->floatChannelData()[0][10], 0.0f);  // both channels heard
  EXPECT_LT(mixed->floatChannelData()[0][10], 0.5f);
  mono->setDownmix(false);
  EXPECT_EQ(0.5f, convertOnce(*mono, in)->floatChannelData()[0][10]);  // the first channel only
}

TEST(AudioCodecSettingsTest, SerialisedForm) {
  AudioCodecSettings settings(96000, false, std::vector<int>{1, 0}, 44100, AudioCodecFormat::opus);
  const auto json = settings.toJSON();
  EXPECT_EQ("opus", json.at("format"));
  EXPECT_EQ(96000, json.at("bitRate"));
  EXPECT_EQ(settings, AudioCodecSettings::fromJSON(json));

  EXPECT_EQ(AudioCodecSettings(), AudioCodecSettings::fromJSON(AudioCodecSettings().toJSON()));

  for (const char* key : {"format", "bitRate", "downmix", "sampleRate"}) {
    auto missing = json;
    missing.erase(key);
    EXPECT_FALSE(AudioCodecSettings::fromJSON(missing)) << key;
  }
  for (auto [key, value] : {std::pair<const char*, nlohmann::json>{"downmix", "yes"}, {"format", "mp3"}}) {
    auto bad = json;
    bad[key] = value;
    EXPECT_FALSE(AudioCodecSettings::fromJSON(bad)) << key;
  }
}
