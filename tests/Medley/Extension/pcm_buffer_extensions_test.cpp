#include <gtest/gtest.h>

#include <vector>

#include "Medley/Sources/Extension/PCMBufferExtensions.h"
#include "Medley/Sources/Extension/SampleBufferExtensions.h"
#include "Platform/Media/CompressedAudioBuffer.h"

using platform::AudioFormat;
using platform::CommonFormat;
using platform::PCMBuffer;

namespace {

std::shared_ptr<PCMBuffer> filled(const AudioFormat& format, uint32_t frames, int16_t first) {
  auto buffer = PCMBuffer::make(format, frames);
  buffer->setFrameLength(frames);
  const uint32_t perBlock = frames * buffer->stride();
  for (uint32_t b = 0; b < buffer->bufferCount(); ++b)
    for (uint32_t i = 0; i < perBlock; ++i) buffer->int16ChannelData()[b][i] = int16_t(first + b * 1000 + i);
  return buffer;
}

}  // namespace

TEST(PCMBufferExtensionsTest, CopiesOnlyFromAnEquallyLaidOutSource) {
  const AudioFormat planar(CommonFormat::int16, 48000, 2, false);
  auto source = filled(planar, 64, 1);
  auto destination = filled(planar, 64, 0);
  ASSERT_TRUE(medley::copy(*destination, *source));
  EXPECT_EQ(source->int16ChannelData()[1][63], destination->int16ChannelData()[1][63]);

  // Another length, another layout, or a compressed buffer: nothing copied.
  auto untouched = filled(planar, 64, 7);
  EXPECT_FALSE(medley::copy(*untouched, *filled(planar, 32, 1)));
  EXPECT_FALSE(medley::copy(*untouched, *filled(AudioFormat(CommonFormat::int16, 48000, 1, false), 64, 1)));
  EXPECT_FALSE(medley::copy(*untouched, *filled(AudioFormat(CommonFormat::int16, 48000, 2, true), 64, 1)));
  platform::AudioStreamBasicDescription aac;
  aac.sampleRate = 48000;
  aac.formatID = platform::audioFormatID::mpeg4AAC;
  aac.formatFlags = 2;
  aac.framesPerPacket = 1024;
  aac.channelsPerFrame = 2;
  auto compressed = platform::CompressedAudioBuffer::make(*AudioFormat::fromStreamDescription(aac), 1, 1024);
  EXPECT_FALSE(medley::copy(*untouched, *compressed));
  EXPECT_EQ(7, untouched->int16ChannelData()[0][0]);
  EXPECT_EQ(7 + 1000 + 63, untouched->int16ChannelData()[1][63]);
}

TEST(PCMBufferExtensionsTest, SampleBufferHoldsTheFramesAtTheHostTime) {
  for (bool interleaved : {true, false}) {
    const AudioFormat format(CommonFormat::int16, 48000, 2, interleaved);
    auto buffer = filled(format, 100, 5);
    const auto when = platform::AudioTime::with(2'500'000'000, 120000, 48000);
    auto sample = medley::makeSampleBuffer(*buffer, when);
    ASSERT_TRUE(sample);
    EXPECT_EQ(platform::MediaTime::fromNanos(2'500'000'000), sample->presentationTime());
    EXPECT_EQ(100u, sample->numSamples());
    EXPECT_DOUBLE_EQ(100.0 / 48000, sample->duration().seconds());

    // Reading the frames back, from an offset, gives the same samples.
    auto back = PCMBuffer::make(format, 40);
    ASSERT_EQ(0, medley::copyPCMData(*sample, 60, 40, *back));
    back->setFrameLength(40);
    for (uint32_t b = 0; b < back->bufferCount(); ++b)
      EXPECT_EQ(buffer->int16ChannelData()[b][60 * back->stride()], back->int16ChannelData()[b][0]);
    EXPECT_EQ(-1, medley::copyPCMData(*sample, 61, 40, *back));  // past the end
    auto small = PCMBuffer::make(format, 10);
    EXPECT_EQ(-1, medley::copyPCMData(*sample, 0, 40, *small));
    auto otherLayout = PCMBuffer::make(AudioFormat(CommonFormat::int16, 48000, 2, !interleaved), 40);
    EXPECT_EQ(-1, medley::copyPCMData(*sample, 0, 40, *otherLayout));
  }
}
