#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "Medley/Sources/ISO/ADTSHeader.h"
#include "Medley/Sources/ISO/AACAudioConfig.h"

using medley::ADTSHeader;

TEST(ADTSHeaderTest, ParsesEveryField) {
  ADTSHeader header(std::vector<uint8_t>{0xFF, 0xF1, 0x50, 0x80, 0x2F, 0x5F, 0xFC});
  EXPECT_EQ(0xFF, header.sync);
  EXPECT_EQ(0, header.id);
  EXPECT_EQ(0, header.layer);
  EXPECT_TRUE(header.protectionAbsent);
  EXPECT_EQ(1, header.profile);
  EXPECT_EQ(4, header.sampleFrequencyIndex);
  EXPECT_EQ(2, header.channelConfiguration);
  EXPECT_FALSE(header.originalOrCopy);
  EXPECT_EQ(378, header.aacFrameLength);
  EXPECT_EQ(0x7FF, header.bufferFullness);
  EXPECT_EQ(0, header.aacFrames);

  // Every flag bit lands in its own field.
  ADTSHeader flags(std::vector<uint8_t>{0xFF, 0xFF, 0x01, 0xFC, 0x00, 0x00, 0x03});
  EXPECT_EQ(1, flags.id);
  EXPECT_EQ(3, flags.layer);
  EXPECT_EQ(7, flags.channelConfiguration);
  EXPECT_TRUE(flags.originalOrCopy);
  EXPECT_TRUE(flags.home);
  EXPECT_TRUE(flags.copyrightIdBit);
  EXPECT_TRUE(flags.copyrightIdStart);
  EXPECT_EQ(3, flags.aacFrames);
}

TEST(ADTSHeaderTest, ShortInputLeavesHeaderUnchanged) {
  ADTSHeader header;
  header.setData({0xFF, 0xF1, 0x50, 0x80, 0x2F, 0x5F});
  EXPECT_EQ(ADTSHeader(), header);
  EXPECT_EQ(0xFF, header.sync);
  EXPECT_EQ(0, header.aacFrameLength);
  EXPECT_TRUE(header.data().empty());
}

TEST(ADTSHeaderTest, WrittenHeadersParseBack) {
  medley::AudioSpecificConfig config;  // AAC LC, 48 kHz, stereo
  std::array<uint8_t, 7> bytes{};
  ASSERT_TRUE(config.makeHeader(500, bytes));
  ADTSHeader header(bytes);
  EXPECT_EQ(1, header.profile);
  EXPECT_EQ(3, header.sampleFrequencyIndex);
  EXPECT_EQ(2, header.channelConfiguration);
  EXPECT_EQ(507, header.aacFrameLength);
  EXPECT_TRUE(header.protectionAbsent);
  EXPECT_EQ(1, header.id);
}

TEST(ADTSHeaderTest, DescribesTheStream) {
  ADTSHeader header(std::vector<uint8_t>{0xFF, 0xF1, 0x50, 0x80, 0x2F, 0x5F, 0xFC});
  auto description = header.makeFormatDescription();
  ASSERT_TRUE(description);
  const auto* asbd = description->streamBasicDescription();
  ASSERT_NE(nullptr, asbd);
  EXPECT_EQ(44100, asbd->sampleRate);
  EXPECT_EQ(platform::audioFormatID::mpeg4AAC, asbd->formatID);
  EXPECT_EQ(2u, asbd->formatFlags);
  EXPECT_EQ(2u, asbd->channelsPerFrame);
  EXPECT_EQ(1024u, asbd->framesPerPacket);

  // Configuration 7 is eight channels.
  header.channelConfiguration = 7;
  description = header.makeFormatDescription();
  ASSERT_TRUE(description);
  EXPECT_EQ(8u, description->streamBasicDescription()->channelsPerFrame);

  header.sampleFrequencyIndex = 13;
  EXPECT_FALSE(header.makeFormatDescription());
}

TEST(ADTSHeaderTest, FramesCompressedBuffers) {
  auto format = medley::AudioSpecificConfig().makeAudioFormat();
  ASSERT_TRUE(format);
  auto buffer = platform::CompressedAudioBuffer::make(*format, 1, 1024);
  ASSERT_TRUE(buffer);
  const std::vector<uint8_t> payload{1, 2, 3, 4, 5};
  ASSERT_TRUE(buffer->setSinglePacket(payload.data(), static_cast<uint32_t>(payload.size())));

  std::vector<uint8_t> out(12, 0xEE);
  ASSERT_TRUE(medley::encodeADTS(*buffer, out));
  EXPECT_EQ((std::vector<uint8_t>{0xFF, 0xF9, 0x4C, 0x80, 0x01, 0x9F, 0xFC, 1, 2, 3, 4, 5}), out);

  std::vector<uint8_t> tooSmall(11, 0xEE);
  EXPECT_FALSE(medley::encodeADTS(*buffer, tooSmall));
  EXPECT_EQ(std::vector<uint8_t>(11, 0xEE), tooSmall);

  platform::AudioStreamBasicDescription opus;
  opus.sampleRate = 48000;
  opus.formatID = platform::audioFormatID::opus;
  opus.framesPerPacket = 960;
  opus.channelsPerFrame = 2;
  auto opusFormat = platform::AudioFormat::fromStreamDescription(opus);
  ASSERT_TRUE(opusFormat);
  auto opusBuffer = platform::CompressedAudioBuffer::make(*opusFormat, 1, 1024);
  ASSERT_TRUE(opusBuffer);
  EXPECT_FALSE(medley::encodeADTS(*opusBuffer, out));
}
