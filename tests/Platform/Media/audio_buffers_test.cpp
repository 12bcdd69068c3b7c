#include <gtest/gtest.h>

#include "Platform/Media/AudioFormat.h"
#include "Platform/Media/CompressedAudioBuffer.h"
#include "Platform/Media/FormatDescription.h"
#include "Platform/Media/PCMBuffer.h"

using namespace platform;

namespace {

AudioFormat aacFormat(uint32_t bytesPerPacket = 0) {
  AudioStreamBasicDescription d;
  d.sampleRate = 44100;
  d.formatID = audioFormatID::mpeg4AAC;
  d.formatFlags = 1;
  d.bytesPerPacket = bytesPerPacket;
  d.framesPerPacket = 1024;
  d.channelsPerFrame = 2;
  return *AudioFormat::fromStreamDescription(d);
}

}  // namespace

TEST(AudioFormat, DescribesPCMLayouts) {
  AudioFormat standard = AudioFormat::standard(48000, 2);
  EXPECT_TRUE(standard.isStandard());
  EXPECT_FALSE(standard.isInterleaved());
  EXPECT_EQ(standard.bytesPerFrame(), 4u);  // one channel's sample per frame when planar
  EXPECT_EQ(standard.formatFlags() & audioFormatFlags::isFloat, audioFormatFlags::isFloat);

  AudioFormat s16(CommonFormat::int16, 44100, 2, true);
  EXPECT_FALSE(s16.isStandard());
  EXPECT_EQ(s16.bytesPerFrame(), 4u);
  EXPECT_EQ(s16.bitsPerChannel(), 16u);
  EXPECT_FALSE(s16 == AudioFormat(CommonFormat::int16, 44100, 2, false));
  EXPECT_TRUE(s16 == AudioFormat(CommonFormat::int16, 44100, 2, true));
  EXPECT_EQ(s16.description(), "<2 ch, 44100 Hz, Int16, interleaved>");

  EXPECT_FALSE(AudioFormat(CommonFormat::other, 48000, 2, false).isValid());
  EXPECT_FALSE(AudioFormat(CommonFormat::float32, 0, 2, false).isValid());
  EXPECT_FALSE(AudioFormat(CommonFormat::float32, 48000, 0, false).isValid());
}

TEST(AudioFormat, StreamDescriptionsRoundTripAndBadOnesAreRefused) {
  AudioFormat s32(CommonFormat::int32, 48000, true, channelLayoutTag::hexagonal);
  EXPECT_EQ(s32.channelCount(), 6u);
  auto again = AudioFormat::fromStreamDescription(s32.streamDescription(), channelLayoutTag::hexagonal);
  ASSERT_TRUE(again);
  EXPECT_TRUE(*again == s32);
  EXPECT_EQ(again->commonFormat(), CommonFormat::int32);

  // A layout for another channel count, a missing rate, PCM frames too small for their samples.
  EXPECT_FALSE(AudioFormat::fromStreamDescription(s32.streamDescription(), channelLayoutTag::stereo));
  auto bad = s32.streamDescription();
  bad.sampleRate = 0;
  EXPECT_FALSE(AudioFormat::fromStreamDescription(bad));
  bad = s32.streamDescription();
  bad.bytesPerFrame = 4;
  bad.bytesPerPacket = 4;
  EXPECT_FALSE(AudioFormat::fromStreamDescription(bad));

  // Big-endian PCM stays describable, but has no common format.
  auto be = AudioFormat(CommonFormat::int16, 48000, 2, true).streamDescription();
  be.formatFlags |= audioFormatFlags::isBigEndian;
  EXPECT_EQ(AudioFormat::fromStreamDescription(be)->commonFormat(), CommonFormat::other);

  AudioFormat aac = aacFormat();
  EXPECT_FALSE(aac.isPCM());
  EXPECT_EQ(aac.framesPerPacket(), 1024u);
  auto fd = aac.makeFormatDescription({0x12, 0x10});
  EXPECT_EQ(fd->mediaType(), MediaType::audio);
  EXPECT_EQ(fd->mediaSubType(), audioFormatID::mpeg4AAC);
  EXPECT_TRUE(*fd->audioFormat() == aac);
  EXPECT_NE(aac.description().find("'aac '"), std::string::npos);
}

TEST(PCMBuffer, FrameLengthNeverExceedsCapacity) {
  auto b = PCMBuffer::make(AudioFormat::standard(48000, 2), 480);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->frameLength(), 0u);
  EXPECT_TRUE(b->setFrameLength(480));
  EXPECT_FALSE(b->setFrameLength(481));
  EXPECT_EQ(b->frameLength(), 480u);
  EXPECT_TRUE(b->setFrameLength(0));
}

TEST(PCMBuffer, ChannelPointersMatchTheLayout) {
  auto planar = PCMBuffer::make(AudioFormat::standard(48000, 2), 100);
  ASSERT_TRUE(planar->floatChannelData());
  EXPECT_EQ(planar->int16ChannelData(), nullptr);
  EXPECT_EQ(planar->bufferCount(), 2u);
  EXPECT_EQ(planar->stride(), 1u);
  float* l = planar->floatChannelData()[0];
  float* r = planar->floatChannelData()[1];
  EXPECT_EQ(reinterpret_cast<uintptr_t>(l) % 64, 0u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(r) % 64, 0u);
  EXPECT_GE(r, l + 100);  // channels do not overlap
  for (int i = 0; i < 100; ++i) l[i] = r[i] = 1.0f;
  planar->setFrameLength(60);
  planar->zero();
  EXPECT_EQ(r[59], 0.0f);
  EXPECT_EQ(r[60], 1.0f);  // only frameLength frames are zeroed
  planar->zeroCapacity();
  EXPECT_EQ(l[99], 0.0f);

  auto interleaved = PCMBuffer::make(AudioFormat(CommonFormat::int16, 44100, 2, true), 480);
  ASSERT_TRUE(interleaved->int16ChannelData());
  EXPECT_EQ(interleaved->floatChannelData(), nullptr);
  EXPECT_EQ(interleaved->bufferCount(), 1u);
  EXPECT_EQ(interleaved->stride(), 2u);
  int16_t* s = interleaved->int16ChannelData()[0];
  for (int i = 0; i < 960; ++i) s[i] = 7;
  interleaved->setFrameLength(480);
  interleaved->zero();
  for (int i = 0; i < 960; ++i) ASSERT_EQ(s[i], 0) << i;

  EXPECT_FALSE(PCMBuffer::make(aacFormat(), 1024));
  EXPECT_FALSE(PCMBuffer::make(AudioFormat(), 1024));
  EXPECT_FALSE(PCMBuffer::make(AudioFormat::standard(48000, 2), 1u << 30));
}

TEST(CompressedAudioBuffer, VariablePacketsCarryDescriptionsAndLimitsHold) {
  auto b = CompressedAudioBuffer::make(aacFormat(), 1, 2048);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->byteCapacity(), 2048u);
  ASSERT_NE(b->packetDescriptions(), nullptr);
  const uint8_t packet[5] = {1, 2, 3, 4, 5};
  EXPECT_TRUE(b->setSinglePacket(packet, 5));
  EXPECT_EQ(b->byteLength(), 5u);
  EXPECT_EQ(b->packetCount(), 1u);
  EXPECT_EQ(b->packetDescriptions()[0], (AudioStreamPacketDescription{0, 0, 5}));
  EXPECT_FALSE(b->setByteLength(2049));
  EXPECT_FALSE(b->setPacketCount(2));
  EXPECT_EQ(b->byteLength(), 5u);
  std::vector<uint8_t> big(2049);
  EXPECT_FALSE(b->setSinglePacket(big.data(), 2049));

  auto cbr = CompressedAudioBuffer::make(aacFormat(256), 4, 256);
  EXPECT_EQ(cbr->packetDescriptions(), nullptr);
  EXPECT_FALSE(CompressedAudioBuffer::make(AudioFormat::standard(48000, 2), 1, 1024));
  EXPECT_FALSE(CompressedAudioBuffer::make(aacFormat(), 0, 1024));
}
