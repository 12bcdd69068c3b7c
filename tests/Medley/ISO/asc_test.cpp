#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "Medley/Sources/ISO/AACAudioConfig.h"

using medley::AudioSpecificConfig;
using medley::AudioObjectType;
using medley::ChannelConfiguration;
using medley::SamplingFrequency;

namespace {

platform::AudioStreamBasicDescription aacDescription(double rate, uint32_t channels, uint32_t objectType = 2) {
  platform::AudioStreamBasicDescription asbd;
  asbd.sampleRate = rate;
  asbd.formatID = platform::audioFormatID::mpeg4AAC;
  asbd.formatFlags = objectType;
  asbd.framesPerPacket = 1024;
  asbd.channelsPerFrame = channels;
  return asbd;
}

}  // namespace

TEST(AudioSpecificConfigTest, TwoByteFormMatchesKnownConfigurationsAndParsesBack) {
  using Bytes = std::array<uint8_t, 2>;
  const auto stereo = ChannelConfiguration::frontLeftAndFrontRight;
  const auto lc = AudioObjectType::aacLc;
  EXPECT_EQ((Bytes{0x11, 0x90}), AudioSpecificConfig(lc, SamplingFrequency::hz48000, stereo).bytes());
  EXPECT_EQ((Bytes{0x12, 0x10}), AudioSpecificConfig(lc, SamplingFrequency::hz44100, stereo).bytes());
  EXPECT_EQ((Bytes{0x11, 0x88}), AudioSpecificConfig(lc, SamplingFrequency::hz48000, ChannelConfiguration::frontCenter).bytes());

  // Every valid configuration survives the round trip through its bytes.
  for (uint8_t t = 0; t <= 9; ++t)
    for (uint8_t f = 0; f <= 12; ++f)
      for (uint8_t c = 0; c <= 7; ++c) {
        AudioSpecificConfig original(*medley::audioObjectType(t), *medley::samplingFrequency(f),
                                     *medley::channelConfiguration(c));
        EXPECT_EQ(original, AudioSpecificConfig::fromBytes(original.bytes()));
      }

  // Type 10, frequency index 15, too short.
  for (const auto& bad : {std::vector<uint8_t>{0x50, 0x00}, {0x17, 0x90}, {0x12}, {}})
    EXPECT_FALSE(AudioSpecificConfig::fromBytes(bad));
  // Type unknown (0) is accepted.
  EXPECT_TRUE(AudioSpecificConfig::fromBytes(std::vector<uint8_t>{0x01, 0x90}));
}

TEST(AudioSpecificConfigTest, WritesAdtsHeaders) {
  AudioSpecificConfig config(AudioObjectType::aacLc, SamplingFrequency::hz44100,
                             ChannelConfiguration::frontLeftAndFrontRight);
  std::array<uint8_t, 9> out{};
  out.fill(0xAA);
  ASSERT_TRUE(config.makeHeader(371, out));
  EXPECT_EQ((std::array<uint8_t, 9>{0xFF, 0xF9, 0x50, 0x80, 0x2F, 0x5F, 0xFC, 0xAA, 0xAA}), out);

  // The 8-channel configuration (raw 7) splits across bytes 2 and 3.
  AudioSpecificConfig surround(AudioObjectType::aacLc, SamplingFrequency::hz48000,
                               ChannelConfiguration::frontCenterAndFrontLeftAndFrontRightAndSideLeftAndSideRightAndBackLeftAndBackRightLFE);
  ASSERT_TRUE(surround.makeHeader(100, out));
  EXPECT_EQ(0x4D, out[2]);
  EXPECT_EQ(0xC0, out[3] & 0xC0);
}

TEST(AudioSpecificConfigTest, RefusesHeadersItCannotWrite) {
  AudioSpecificConfig config;
  std::array<uint8_t, 7> out{};
  std::array<uint8_t, 6> tooShort{};
  EXPECT_FALSE(config.makeHeader(10, tooShort));
  EXPECT_TRUE(config.makeHeader(8191 - 7, out));
  EXPECT_FALSE(config.makeHeader(8191 - 6, out));
  config.type = AudioObjectType::unknown;
  out.fill(0);
  EXPECT_FALSE(config.makeHeader(10, out));
  EXPECT_EQ((std::array<uint8_t, 7>{}), out);
}

TEST(AudioSpecificConfigTest, ComesFromStreamDescriptions) {
  auto stereo = AudioSpecificConfig::fromStreamDescription(aacDescription(48000, 2));
  ASSERT_TRUE(stereo);
  EXPECT_EQ((std::array<uint8_t, 2>{0x11, 0x90}), stereo->bytes());

  EXPECT_EQ(7, static_cast<int>(AudioSpecificConfig::fromStreamDescription(aacDescription(48000, 8))->channelConfig));
  for (const auto& bad : {aacDescription(48000, 7), aacDescription(44000, 2), aacDescription(48000, 2, 0),
                          aacDescription(48000, 2, 10)})
    EXPECT_FALSE(AudioSpecificConfig::fromStreamDescription(bad));
  // Rates are truncated before they are matched.
  EXPECT_TRUE(AudioSpecificConfig::fromStreamDescription(aacDescription(44100.7, 2)));

  auto format = platform::AudioFormat::fromStreamDescription(aacDescription(44100, 1));
  ASSERT_TRUE(format);
  auto description = platform::FormatDescription::makeAudio(*format);
  EXPECT_EQ(ChannelConfiguration::frontCenter, AudioSpecificConfig::fromFormatDescription(description.get())->channelConfig);
  EXPECT_FALSE(AudioSpecificConfig::fromFormatDescription(nullptr));
}

TEST(AudioSpecificConfigTest, MakesAacFormatsWithLayouts) {
  AudioSpecificConfig eight(AudioObjectType::aacLc, SamplingFrequency::hz48000,
                            ChannelConfiguration::frontCenterAndFrontLeftAndFrontRightAndSideLeftAndSideRightAndBackLeftAndBackRightLFE,
                            true);
  auto surround = eight.makeAudioFormat();
  ASSERT_TRUE(surround);
  EXPECT_EQ(8u, surround->channelCount());
  EXPECT_EQ(960u, surround->framesPerPacket());
  EXPECT_EQ(medley::aacLayoutTag::mpeg_7_1_B, surround->channelLayoutTag());
}
