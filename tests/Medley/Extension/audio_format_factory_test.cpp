#include <gtest/gtest.h>

#include "Medley/Sources/Extension/AudioFormatFactory.h"

using medley::AVAudioUtil;

namespace {

platform::FormatDescriptionRef linearPCM(uint32_t bits, uint32_t channels, uint32_t flags) {
  platform::AudioStreamBasicDescription asbd;
  asbd.sampleRate = 48000;
  asbd.formatID = platform::audioFormatID::linearPCM;
  asbd.formatFlags = flags | platform::audioFormatFlags::isPacked;
  asbd.bitsPerChannel = bits;
  asbd.channelsPerFrame = channels;
  const bool interleaved = (flags & platform::audioFormatFlags::isNonInterleaved) == 0;
  asbd.bytesPerFrame = bits / 8 * (interleaved ? channels : 1);
  asbd.bytesPerPacket = asbd.bytesPerFrame;
  asbd.framesPerPacket = 1;
  auto format = platform::AudioFormat::fromStreamDescription(asbd);
  return format ? platform::FormatDescription::makeAudio(*format) : nullptr;
}

}  // namespace

TEST(AudioFormatFactoryTest, BigEndianPCMIsDescribedInNativeOrderAtItsDepth) {
  using namespace platform::audioFormatFlags;
  auto planar = AVAudioUtil::makeAudioFormat(linearPCM(16, 6, isSignedInteger | isBigEndian | isNonInterleaved).get());
  ASSERT_TRUE(planar);
  EXPECT_FALSE(planar->isInterleaved());
  EXPECT_EQ(0x6E0006u, planar->channelLayoutTag());

  auto deep = AVAudioUtil::makeAudioFormat(linearPCM(24, 2, isSignedInteger | isBigEndian).get());
  ASSERT_TRUE(deep);
  EXPECT_EQ(24u, deep->bitsPerChannel());
  EXPECT_EQ(6u, deep->bytesPerFrame());
  EXPECT_FALSE(deep->formatFlags() & isBigEndian);

  EXPECT_EQ(platform::CommonFormat::int32,
            AVAudioUtil::makeAudioFormat(linearPCM(32, 2, isSignedInteger | isBigEndian).get())->commonFormat());
}

TEST(AudioFormatFactoryTest, OtherDescriptionsPassThrough) {
  using namespace platform::audioFormatFlags;
  auto description = linearPCM(32, 2, isFloat | isNonInterleaved);
  auto format = AVAudioUtil::makeAudioFormat(description.get());
  ASSERT_TRUE(format);
  EXPECT_EQ(*description->streamBasicDescription(), format->streamDescription());
  EXPECT_FALSE(format->channelLayoutTag());

  EXPECT_FALSE(AVAudioUtil::makeAudioFormat(nullptr));
  auto video = platform::FormatDescription::makeVideo(platform::codec::h264, 640, 480);
  EXPECT_FALSE(AVAudioUtil::makeAudioFormat(video.get()));
}
