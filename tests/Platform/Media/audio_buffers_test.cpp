#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <thread>
#include <vector>

#include "Platform/Media/AudioFormat.h"
#include "Platform/Media/CompressedAudioBuffer.h"
#include "Platform/Media/FormatDescription.h"
#include "Platform/Media/PCMBuffer.h"
#include "Platform/Media/PCMBufferPool.h"
#include "MediaTestSupport.h"

using namespace platform;

using platform::testing::aacFormat;

TEST(AudioFormat, LayoutsRoundTripThroughStreamDescriptionsAndBadOnesAreRefused) {
  AudioFormat s16(CommonFormat::int16, 44100, 2, true);
  AudioFormat s32(CommonFormat::int32, 48000, true, channelLayoutTag::hexagonal);
  EXPECT_EQ(s32.channelCount(), 6u);
  auto again = AudioFormat::fromStreamDescription(s32.streamDescription(), channelLayoutTag::hexagonal);
  ASSERT_TRUE(again);
  EXPECT_TRUE(*again == s32);

  // A layout for another channel count, a missing rate, PCM frames too small for their samples.
  EXPECT_FALSE(AudioFormat::fromStreamDescription(s32.streamDescription(), channelLayoutTag::stereo));
  auto bad = s32.streamDescription();
  bad.sampleRate = 0;
  EXPECT_FALSE(AudioFormat::fromStreamDescription(bad));
  bad = s32.streamDescription();
  bad.bytesPerFrame = bad.bytesPerPacket = 4;
  EXPECT_FALSE(AudioFormat::fromStreamDescription(bad));
  // Big-endian PCM stays describable, but has no common format.
  auto be = s16.streamDescription();
  be.formatFlags |= audioFormatFlags::isBigEndian;
  EXPECT_EQ(AudioFormat::fromStreamDescription(be)->commonFormat(), CommonFormat::other);
}

TEST(PCMBuffer, ChannelsAreAlignedApartAndOnlyValidFramesAreTouched) {
  auto planar = PCMBuffer::make(AudioFormat::standard(48000, 2), 100);
  ASSERT_TRUE(planar && planar->floatChannelData());
  EXPECT_TRUE(planar->setFrameLength(100));
  EXPECT_FALSE(planar->setFrameLength(101));
  EXPECT_EQ(planar->frameLength(), 100u);
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
  int16_t* s = interleaved->int16ChannelData()[0];
  std::fill(s, s + 960, 7);
  interleaved->setFrameLength(480);
  interleaved->zero();
  EXPECT_EQ(std::count(s, s + 960, 0), 960);

  EXPECT_FALSE(PCMBuffer::make(aacFormat(), 1024));
  EXPECT_FALSE(PCMBuffer::make(AudioFormat(), 1024));
  EXPECT_FALSE(PCMBuffer::make(AudioFormat::standard(48000, 2), 1u << 30));
}

TEST(CompressedAudioBuffer, VariablePacketsCarryDescriptionsAndLimitsHold) {
  auto b = CompressedAudioBuffer::make(aacFormat(), 1, 2048);
  ASSERT_TRUE(b && b->packetDescriptions());
  const uint8_t packet[5] = {1, 2, 3, 4, 5};
  EXPECT_TRUE(b->setSinglePacket(packet, 5));
  EXPECT_EQ(b->packetDescriptions()[0], (AudioStreamPacketDescription{0, 0, 5}));
  EXPECT_FALSE(b->setByteLength(2049));
  EXPECT_FALSE(b->setPacketCount(2));
  EXPECT_EQ(b->byteLength(), 5u);
  std::vector<uint8_t> big(2049);
  EXPECT_FALSE(b->setSinglePacket(big.data(), 2049));

  EXPECT_EQ(CompressedAudioBuffer::make(aacFormat(44100, 256), 4, 256)->packetDescriptions(), nullptr);
  EXPECT_FALSE(CompressedAudioBuffer::make(AudioFormat::standard(48000, 2), 1, 1024));
  EXPECT_FALSE(CompressedAudioBuffer::make(aacFormat(), 0, 1024));
}

// Copies are independent of the producer's buffer, reuse released storage of the
// same format and a sufficient length, and a copy outliving its pool frees itself.
TEST(PCMBufferPool, CopiesIntoRecycledStorageOfTheSameFormat) {
  auto pool = PCMBufferPool::make(2);
  auto source = PCMBuffer::make(AudioFormat::standard(48000, 2), 480);
  ASSERT_TRUE(source && source->setFrameLength(480));
  for (uint32_t c = 0; c < 2; ++c) std::fill_n(source->floatChannelData()[c], 480, c + 0.5f);

  auto copy = pool->copy(*source);
  ASSERT_TRUE(copy);
  source->zero();  // the producer reuses its buffer
  EXPECT_EQ(copy->frameLength(), 480u);
  EXPECT_EQ(copy->floatChannelData()[1][479], 1.5f);
  const float* storage = copy->floatChannelData()[0];
  copy.reset();
  EXPECT_EQ(pool->freeCount(), 1u);

  // A shorter buffer of the same format takes the same storage; another format does not.
  ASSERT_TRUE(source->setFrameLength(256));
  auto shorter = pool->copy(*source);
  EXPECT_EQ(shorter->floatChannelData()[0], storage);
  EXPECT_EQ(shorter->frameLength(), 256u);
  auto mono = PCMBuffer::make(AudioFormat::standard(48000, 1), 256);
  ASSERT_TRUE(mono->setFrameLength(256));
  auto monoCopy = pool->copy(*mono);
  EXPECT_EQ(pool->allocatedCount(), 2u);
  EXPECT_EQ(monoCopy->format().channelCount(), 1u);

  // Storage beyond what the pool keeps is freed; a copy outliving the pool frees itself.
  std::vector<PCMBufferRef> many;
  for (int i = 0; i < 4; ++i) many.push_back(pool->copy(*source));
  many.clear();
  EXPECT_EQ(pool->freeCount(), 2u);
  pool.reset();
  shorter.reset();
  monoCopy.reset();

  auto empty = PCMBuffer::make(AudioFormat::standard(48000, 2), 16);
  EXPECT_FALSE(PCMBufferPool::make(1)->copy(*empty));
}

// A flow of copies held a few at a time, as a writer's backlog holds them, runs
// on the storage of the first few, also when they are let go on another thread;
// after a burst, only what the pool keeps stays.
TEST(PCMBufferPool, AFlowOfCopiesRunsOnTheSameStorage) {
  auto pool = PCMBufferPool::make(4);
  auto source = PCMBuffer::make(AudioFormat::standard(48000, 2), 480);
  ASSERT_TRUE(source && source->setFrameLength(480));
  std::deque<PCMBufferRef> held;
  for (int i = 0; i < 300; ++i) {
    source->floatChannelData()[0][0] = static_cast<float>(i);
    held.push_back(pool->copy(*source));
    ASSERT_EQ(held.back()->floatChannelData()[0][0], static_cast<float>(i));
    if (held.size() > 3) {
      std::thread writer([copy = std::move(held.front())]() mutable { copy.reset(); });
      writer.join();
      held.pop_front();
    }
  }
  EXPECT_EQ(pool->allocatedCount(), 4u);
  for (const auto& copy : held) EXPECT_EQ(copy.use_count(), 2) << "the pool's reference and this one";

  std::vector<PCMBufferRef> burst;
  for (int i = 0; i < 20; ++i) burst.push_back(pool->copy(*source));
  burst.clear();
  held.clear();
  EXPECT_EQ(pool->freeCount(), 4u);
  const size_t allocated = pool->allocatedCount();
  EXPECT_TRUE(pool->copy(*source));
  EXPECT_EQ(pool->allocatedCount(), allocated) << "released storage serves the next copy";
}
