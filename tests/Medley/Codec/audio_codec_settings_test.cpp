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

}  // namespace

TEST(AudioCodecSettingsTest, DefaultsGiveAacAtTheInputsRateAndChannels) {
  AudioCodecSettings settings;
  EXPECT_EQ(64000, settings.bitRate);
  EXPECT_TRUE(settings.downmix);
  EXPECT_FALSE(settings.channelMap);
  EXPECT_EQ(AudioCodecFormat::aac, settings.format);

  auto out = medley::makeOutputFormat(settings.format, pcm(44100, 2), settings.sampleRate, settings.channelMap);
  ASSERT_TRUE(out);
  EXPECT_EQ(platform::audioFormatID::mpeg4AAC, out->formatID());
  EXPECT_EQ(2u, out->formatFlags());
  EXPECT_EQ(1024u, out->framesPerPacket());
  EXPECT_EQ(44100, out->sampleRate());
  EXPECT_EQ(2u, out->channelCount());
  EXPECT_FALSE(out->channelLayoutTag());
}

TEST(AudioCodecSettingsTest, OutputRatesAndPacketSizes) {
  auto opus = medley::makeOutputFormat(AudioCodecFormat::opus, pcm(44100, 2), 0, std::nullopt);
  ASSERT_TRUE(opus);
  EXPECT_EQ(48000, opus->sampleRate());
  EXPECT_EQ(960u, opus->framesPerPacket());
  EXPECT_EQ(0u, opus->formatFlags());

  auto narrow = medley::makeOutputFormat(AudioCodecFormat::opus, pcm(44100, 1), 16000, std::nullopt);
  ASSERT_TRUE(narrow);
  EXPECT_EQ(16000, narrow->sampleRate());
  EXPECT_EQ(320u, narrow->framesPerPacket());

  auto linear = medley::makeOutputFormat(AudioCodecFormat::pcm, pcm(48000, 2), 0, std::nullopt);
  ASSERT_TRUE(linear);
  EXPECT_TRUE(linear->isStandard());
  EXPECT_EQ(4u, linear->bytesPerFrame());

  EXPECT_EQ(8000, medley::makeSampleRate(AudioCodecFormat::opus, 10000, 0));   // tie: the lower rate
  EXPECT_EQ(24000, medley::makeSampleRate(AudioCodecFormat::opus, 36000, 0));  // tie: the lower rate
  EXPECT_EQ(48000, medley::makeSampleRate(AudioCodecFormat::opus, 96000, 0));
  EXPECT_EQ(12000, medley::makeSampleRate(AudioCodecFormat::opus, 48000, 11000));
  EXPECT_EQ(96000, medley::makeSampleRate(AudioCodecFormat::aac, 96000, 0));
  EXPECT_EQ(22050, medley::makeSampleRate(AudioCodecFormat::pcm, 48000, 22050));
}

TEST(AudioCodecSettingsTest, ChannelCountsAndLayouts) {
  auto seven = medley::makeOutputFormat(AudioCodecFormat::aac, pcm(48000, 7), 0, std::nullopt);
  ASSERT_TRUE(seven);
  EXPECT_EQ(7u, seven->channelCount());
  EXPECT_FALSE(seven->channelLayoutTag());

  auto ten = medley::makeOutputFormat(AudioCodecFormat::aac, pcm(48000, 10), 0, std::nullopt);
  ASSERT_TRUE(ten);
  EXPECT_EQ(8u, ten->channelCount());
  EXPECT_FALSE(ten->channelLayoutTag());

  auto six = medley::makeOutputFormat(AudioCodecFormat::aac, pcm(48000, 6), 0, std::nullopt);
  ASSERT_TRUE(six);
  EXPECT_EQ(medley::aacLayoutTag::mpeg_5_1_D, six->channelLayoutTag());

  auto mapped = medley::makeOutputFormat(AudioCodecFormat::aac, pcm(48000, 6), 0, std::vector<int>{0, 1});
  ASSERT_TRUE(mapped);
  EXPECT_EQ(2u, mapped->channelCount());
}

TEST(AudioCodecSettingsTest, OnlyFormatAndChannelMapNeedANewConverter) {
  AudioCodecSettings a;
  AudioCodecSettings b = a;
  b.bitRate = 128000;
  b.downmix = false;
  b.sampleRate = 44100;
  EXPECT_FALSE(a.invalidateConverter(b));
  b.format = AudioCodecFormat::opus;
  EXPECT_TRUE(a.invalidateConverter(b));
  b = a;
  b.channelMap = std::vector<int>{0, 1};
  EXPECT_TRUE(a.invalidateConverter(b));
  a.channelMap = std::vector<int>{1, 0};
  EXPECT_TRUE(a.invalidateConverter(b));
  a.channelMap = std::vector<int>{0, 1};
  EXPECT_FALSE(a.invalidateConverter(b));
}

TEST(AudioCodecSettingsTest, AppliesToALiveConverter) {
  auto converter = AudioCodecConverter::make(pcm(48000, 2), pcm(48000, 2));
  ASSERT_TRUE(converter);
  // A PCM converter has no bit-rate range: the requested rate is taken as it is.
  AudioCodecSettings settings(1'000'000, false, std::vector<int>{1, 0}, 0, AudioCodecFormat::pcm);
  settings.apply(converter.get(), std::nullopt);
  EXPECT_EQ(1'000'000, converter->bitRate());
  EXPECT_FALSE(converter->downmix());
  EXPECT_EQ((std::vector<int>{1, 0}), converter->channelMap());

  // Unusable maps leave the converter's map alone.
  for (const auto& map : {std::vector<int>{0, 2}, std::vector<int>{0, 1, 0}}) {
    AudioCodecSettings other = settings;
    other.channelMap = map;
    EXPECT_FALSE(other.makeChannelMap(*converter));
    other.apply(converter.get(), settings);
    EXPECT_EQ((std::vector<int>{1, 0}), converter->channelMap());
  }

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
  settings.apply(nullptr, std::nullopt);  // nothing to apply to
}

TEST(AudioCodecSettingsTest, ChannelMapSwapsChannels) {
  auto converter = AudioCodecConverter::make(pcm(48000, 2), pcm(48000, 2));
  AudioCodecSettings(64000, true, std::vector<int>{1, 0}, 0, AudioCodecFormat::pcm).apply(converter.get(), std::nullopt);
  auto in = platform::PCMBuffer::make(pcm(48000, 2), 1024);
  in->setFrameLength(1024);
  for (uint32_t i = 0; i < 1024; ++i) {
    in->floatChannelData()[0][i] = 0.25f;
    in->floatChannelData()[1][i] = -0.5f;
  }
  auto out = platform::PCMBuffer::make(pcm(48000, 2), 1024);
  bool given = false;
  const auto status = converter->convert(*out, [&](uint32_t, AudioCodecConverter::InputStatus& s) -> platform::AudioBufferRef {
    s = given ? AudioCodecConverter::InputStatus::noDataNow : AudioCodecConverter::InputStatus::haveData;
    if (given) return nullptr;
    given = true;
    return in;
  });
  ASSERT_EQ(AudioCodecConverter::OutputStatus::haveData, status);
  EXPECT_EQ(-0.5f, out->floatChannelData()[0][100]);
  EXPECT_EQ(0.25f, out->floatChannelData()[1][100]);
}

TEST(AudioCodecSettingsTest, SerialisedForm) {
  AudioCodecSettings settings(96000, false, std::vector<int>{1, 0}, 44100, AudioCodecFormat::opus);
  const auto json = settings.toJSON();
  EXPECT_EQ("opus", json.at("format"));
  EXPECT_EQ(96000, json.at("bitRate"));
  EXPECT_EQ(settings, AudioCodecSettings::fromJSON(json));

  auto withoutMap = AudioCodecSettings().toJSON();
  EXPECT_FALSE(withoutMap.contains("channelMap"));
  auto decoded = AudioCodecSettings::fromJSON(withoutMap);
  ASSERT_TRUE(decoded);
  EXPECT_FALSE(decoded->channelMap);

  for (const char* key : {"format", "bitRate", "downmix", "sampleRate"}) {
    auto missing = json;
    missing.erase(key);
    EXPECT_FALSE(AudioCodecSettings::fromJSON(missing)) << key;
  }
  auto wrongType = json;
  wrongType["downmix"] = "yes";
  EXPECT_FALSE(AudioCodecSettings::fromJSON(wrongType));
  auto unknownFormat = json;
  unknownFormat["format"] = "mp3";
  EXPECT_FALSE(AudioCodecSettings::fromJSON(unknownFormat));
  EXPECT_FALSE(medley::audioCodecFormat("flac"));
  EXPECT_EQ(3u, medley::allAudioCodecFormats().size());
}

TEST(AudioCodecSettingsTest, DownmixMixesOrDropsExtraChannels) {
  const auto convertOnce = [](AudioCodecConverter& converter, const platform::PCMBufferRef& in) {
    auto out = platform::PCMBuffer::make(converter.outputFormat(), 256);
    bool given = false;
    converter.convert(*out, [&](uint32_t, AudioCodecConverter::InputStatus& s) -> platform::AudioBufferRef {
      s = given ? AudioCodecConverter::InputStatus::noDataNow : AudioCodecConverter::InputStatus::haveData;
      if (given) return nullptr;
      given = true;
      return in;
    });
    return out;
  };
  auto in = platform::PCMBuffer::make(pcm(48000, 2), 256);
  in->setFrameLength(256);
  for (uint32_t i = 0; i < 256; ++i) {
    in->floatChannelData()[0][i] = 0.5f;
    in->floatChannelData()[1][i] = 0.0f;
  }
  auto converter = AudioCodecConverter::make(pcm(48000, 2), pcm(48000, 1));
  ASSERT_TRUE(converter->downmix());
  auto mixed = convertOnce(*converter, in);
  ASSERT_EQ(256u, mixed->frameLength());
  EXPECT_GT(mixed->floatChannelData()[0][10], 0.1f);
  EXPECT_LT(mixed->floatChannelData()[0][10], 0.5f);

  converter->setDownmix(false);
  auto first = convertOnce(*converter, in);
  EXPECT_EQ(0.5f, first->floatChannelData()[0][10]);
}
