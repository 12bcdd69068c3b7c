#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "Medley/Sources/ISO/ADTSHeader.h"
#include "Medley/Sources/ISO/AACAudioConfig.h"

using medley::ADTSHeader;

TEST(ADTSHeaderTest, ParsesEveryField) {
  ADTSHeader h(std::vector<uint8_t>{0xFF, 0xF1, 0x50, 0x80, 0x2F, 0x5F, 0xFC});
  EXPECT_EQ(std::make_tuple(0xFF, 0, 0, true, 1, 4, 2, false, 378, 0x7FF, 0),
            std::make_tuple(h.sync, h.id, h.layer, h.protectionAbsent, h.profile, h.sampleFrequencyIndex,
                            h.channelConfiguration, h.originalOrCopy, h.aacFrameLength, h.bufferFullness, h.aacFrames));

  // Every flag bit lands in its own field.
  ADTSHeader f(std::vector<uint8_t>{0xFF, 0xFF, 0x01, 0xFC, 0x00, 0x00, 0x03});
  EXPECT_EQ(std::make_tuple(1, 3, 7, true, true, true, true, 3),
            std::make_tuple(f.id, f.layer, f.channelConfiguration, f.originalOrCopy, f.home, f.copyrightIdBit,
                            f.copyrightIdStart, f.aacFrames));

  ADTSHeader shortInput;  // six bytes: unchanged
  shortInput.setData({0xFF, 0xF1, 0x50, 0x80, 0x2F, 0x5F});
  EXPECT_EQ(ADTSHeader(), shortInput);
  EXPECT_TRUE(shortInput.data().empty());
}

TEST(ADTSHeaderTest, WrittenHeadersParseBack) {
  medley::AudioSpecificConfig config;  // AAC LC, 48 kHz, stereo
  std::array<uint8_t, 7> bytes{};
  ASSERT_TRUE(config.makeHeader(500, bytes));
  ADTSHeader h(bytes);
  EXPECT_EQ(std::make_tuple(1, 3, 2, 507, true, 1),
            std::make_tuple(h.profile, h.sampleFrequencyIndex, h.channelConfiguration, h.aacFrameLength,
                            h.protectionAbsent, h.id));
}

TEST(ADTSHeaderTest, DescribesTheStream) {
  ADTSHeader header(std::vector<uint8_t>{0xFF, 0xF1, 0x50, 0x80, 0x2F, 0x5F, 0xFC});
  auto description = header.makeFormatDescription();
  ASSERT_TRUE(description);
  const auto* asbd = description->streamBasicDescription();
  EXPECT_EQ(std::make_tuple(44100.0, 2u, 2u), std::make_tuple(asbd->sampleRate, asbd->formatFlags, asbd->channelsPerFrame));
  header.channelConfiguration = 7;  // eight channels
  EXPECT_EQ(8u, header.makeFormatDescription()->streamBasicDescription()->channelsPerFrame);

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
  auto opusBuffer = platform::CompressedAudioBuffer::make(*opusFormat, 1, 1024);
  EXPECT_FALSE(medley::encodeADTS(*opusBuffer, out));
}
