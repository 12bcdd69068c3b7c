#include <gtest/gtest.h>

#include <vector>

#include "Medley/Sources/Extension/PCMBufferExtensions.h"
#include "Medley/Sources/Mixer/AudioRingBuffer.h"

using medley::AudioRingBuffer;
using platform::AudioFormat;
using platform::AudioTime;
using platform::CommonFormat;
using platform::PCMBuffer;

namespace {

const AudioFormat kMono = AudioFormat(CommonFormat::float32, 48000, 1, false);

// A mono buffer whose samples are first, first + 1, ...
std::shared_ptr<PCMBuffer> ramp(float first, uint32_t frames, const AudioFormat& format = kMono) {
  auto buffer = PCMBuffer::make(format, frames);
  buffer->setFrameLength(frames);
  for (uint32_t c = 0; c < buffer->bufferCount(); ++c)
    for (uint32_t i = 0; i < frames * buffer->stride(); ++i) buffer->floatChannelData()[c][i] = first + i;
  return buffer;
}

std::vector<float> rendered(AudioRingBuffer& ring, uint32_t frames, int32_t* status = nullptr) {
  auto out = PCMBuffer::make(ring.inputFormat(), frames);
  out->setFrameLength(frames);
  for (uint32_t i = 0; i < frames; ++i) out->floatChannelData()[0][i] = -7;
  const int32_t result = ring.render(frames, out.get());
  if (status) *status = result;
  return std::vector<float>(out->floatChannelData()[0], out->floatChannelData()[0] + frames);
}

std::vector<float> sequence(float first, uint32_t count) {
  std::vector<float> v(count);
  for (uint32_t i = 0; i < count; ++i) v[i] = first + i;
  return v;
}

std::vector<float> concat(std::vector<float> a, const std::vector<float>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

AudioTime at(int64_t sampleTime) { return AudioTime::withSampleTime(sampleTime, 48000); }

}  // namespace

TEST(AudioRingBufferTest, EmptyRingRendersNothingAndImpossibleRingsAreRefused) {
  auto ring = AudioRingBuffer::make(kMono, 16);
  ASSERT_TRUE(ring);
  int32_t status = 0;
  EXPECT_EQ(std::vector<float>(1024, -7), rendered(*ring, 1024, &status));  // the list is left alone
  EXPECT_EQ(AudioRingBuffer::kNothingToRender, status);
  EXPECT_FALSE(AudioRingBuffer::make(kMono, 0));
  EXPECT_FALSE(AudioRingBuffer::make(kMono, AudioRingBuffer::kMaxBufferCounts + 1));
  EXPECT_FALSE(AudioRingBuffer::make(AudioFormat(), 16));
}

TEST(AudioRingBufferTest, OwedSilenceAddsUpAcrossAppendsAndOverlapsAreKept) {
  auto ring = AudioRingBuffer::make(kMono, 16);
  ring->append(*ramp(0, 100), at(1000));
  ring->append(*ramp(100, 100), at(1300));  // 200 frames late: silence goes ahead of stored frames
  ring->append(*ramp(200, 100), at(1400));  // on time: the owed 200 stay owed
  ring->append(*ramp(300, 100), at(1550));  // 50 more
  EXPECT_EQ(250, ring->skip());
  EXPECT_EQ(650, ring->counts());
  EXPECT_EQ(concat(std::vector<float>(250, 0), sequence(0, 400)), rendered(*ring, 650));

  // Silence already paid out is not owed again; an overlapping buffer is stored whole.
  ring->append(*ramp(400, 10), at(1650));
  ring->append(*ramp(410, 10), at(1655));
  EXPECT_EQ(0, ring->skip());
  EXPECT_EQ(1670, ring->sampleTime());
  EXPECT_EQ(sequence(400, 20), rendered(*ring, 20));
}

TEST(AudioRingBufferTest, AGapLongerThanTheRingReanchorsItInsteadOfBeingOwed) {
  auto ring = AudioRingBuffer::make(kMono, 1);  // 1024 frames
  ring->append(*ramp(0, 100), at(1000));
  ring->append(*ramp(100, 100), at(1100 + 1024));  // a whole ring late: still owed
  EXPECT_EQ(1024, ring->skip());
  EXPECT_FALSE(ring->reanchors(2224 + 1024));
  EXPECT_TRUE(ring->reanchors(2224 + 1025));

  ring->append(*ramp(200, 100), at(2224 + 1025));
  EXPECT_EQ(1u, ring->reanchorCount());
  EXPECT_EQ(1024, ring->skip()) << "silence owed before stays owed, the new gap is not";
  EXPECT_EQ(3349, ring->sampleTime());
  EXPECT_EQ(concat(std::vector<float>(1024, 0), sequence(0, 300)), rendered(*ring, 1324));

  // An hour's jump costs nothing either.
  ring->append(*ramp(300, 100), at(3349 + int64_t{3600} * 48000));
  EXPECT_EQ(2u, ring->reanchorCount());
  EXPECT_EQ(100, ring->counts());
  EXPECT_EQ(sequence(300, 100), rendered(*ring, 100));
}

TEST(AudioRingBufferTest, WritesAcrossTheEndAndOverrunKeepsTheNewestFramesInOrder) {
  auto ring = AudioRingBuffer::make(kMono, 1);  // 1024 frames
  ring->append(*ramp(0, 700), at(1));
  EXPECT_EQ(sequence(0, 700), rendered(*ring, 700));
  ring->append(*ramp(700, 700), at(701));  // 324 at the end, 376 from index 0
  EXPECT_EQ(sequence(700, 700), rendered(*ring, 700));

  ring->append(*ramp(0, 700), at(1401));
  ring->append(*ramp(700, 700), at(2101));
  EXPECT_EQ(sequence(376, 1024), rendered(*ring, 1024));

  // A single buffer longer than the ring keeps its newest frames too.
  ring->append(*ramp(0, 3000), at(2801));
  EXPECT_EQ(sequence(1976, 1024), rendered(*ring, 1024));

  // And the ring keeps working afterwards.
  ring->append(*ramp(5000, 10), at(5801));
  EXPECT_EQ(sequence(5000, 10), rendered(*ring, 10));
}

TEST(AudioRingBufferTest, ShortRendersZeroTheRestUnreadableBuffersAreSilenceAndResetForgetsAll) {
  auto ring = AudioRingBuffer::make(kMono, 16);
  ring->append(*ramp(0, 100), at(1));
  int32_t status = -5;
  EXPECT_EQ(concat(sequence(0, 100), std::vector<float>(200, 0)), rendered(*ring, 300, &status));
  EXPECT_EQ(AudioRingBuffer::kNoErr, status);
  // The read position did not run past the write position.
  ring->append(*ramp(100, 50), at(101));
  EXPECT_EQ(sequence(100, 50), rendered(*ring, 50));

  ring->append(*ramp(9, 256, AudioFormat(CommonFormat::float32, 48000, 2, false)), at(151));
  EXPECT_EQ(std::vector<float>(256, 0), rendered(*ring, 256)) << "silence, not old sound";

  ring->append(*ramp(0, 100), at(2000));
  ring->reset();
  ring->append(*ramp(0, 10), at(50000));
  EXPECT_EQ(10, ring->counts());
}

TEST(AudioRingBufferTest, RefusesListsItCannotFill) {
  auto ring = AudioRingBuffer::make(kMono, 16);
  ring->append(*ramp(1, 64), at(1));
  auto small = PCMBuffer::make(kMono, 32);
  EXPECT_EQ(AudioRingBuffer::kNothingToRender, ring->render(64, small.get()));
  EXPECT_EQ(AudioRingBuffer::kNothingToRender, ring->render(32, small.get(), 1));
  auto int16 = PCMBuffer::make(AudioFormat(CommonFormat::int16, 48000, 1, false), 64);
  EXPECT_EQ(AudioRingBuffer::kNothingToRender, ring->render(64, int16.get()));
  EXPECT_EQ(64, ring->counts());

  // An offset places the frames further into the list.
  auto out = PCMBuffer::make(kMono, 80);
  out->setFrameLength(80);
  out->zero();
  EXPECT_EQ(AudioRingBuffer::kNoErr, ring->render(64, out.get(), 16));
  EXPECT_EQ(0, out->floatChannelData()[0][15]);
  EXPECT_EQ(1, out->floatChannelData()[0][16]);
  EXPECT_EQ(64, out->floatChannelData()[0][79]);
}

namespace {

// An int16 sample buffer in big-endian byte order at the given presentation time.
platform::SampleBufferRef bigEndianInt16(const std::vector<int16_t>& samples, uint32_t channels, bool interleaved,
                                         platform::MediaTime pts) {
  platform::AudioStreamBasicDescription asbd;
  asbd.sampleRate = 48000;
  asbd.formatID = platform::audioFormatID::linearPCM;
  asbd.formatFlags = platform::audioFormatFlags::isSignedInteger | platform::audioFormatFlags::isPacked |
                     platform::audioFormatFlags::isBigEndian |
                     (interleaved ? 0 : platform::audioFormatFlags::isNonInterleaved);
  asbd.bitsPerChannel = 16;
  asbd.channelsPerFrame = channels;
  asbd.bytesPerFrame = interleaved ? 2 * channels : 2;
  asbd.bytesPerPacket = asbd.bytesPerFrame;
  asbd.framesPerPacket = 1;
  auto format = AudioFormat::fromStreamDescription(asbd);
  std::vector<uint8_t> bytes;
  for (int16_t s : samples) {
    bytes.push_back(uint8_t(uint16_t(s) >> 8));
    bytes.push_back(uint8_t(s & 0xFF));
  }
  platform::SampleTiming timing;
  timing.presentationTime = pts;
  const size_t frames = samples.size() / channels;
  return platform::SampleBuffer::makeData(platform::BlockBuffer::copy(bytes), platform::FormatDescription::makeAudio(*format),
                                          timing, frames, {size_t{2} * channels});
}

}  // namespace

TEST(AudioRingBufferTest, BigEndianSampleBuffersComeOutInNativeOrder) {
  for (bool interleaved : {true, false}) {
    const AudioFormat format(CommonFormat::int16, 48000, 2, interleaved);
    auto ring = AudioRingBuffer::make(format, 16);
    // Interleaved: L R L R; planar: L L then R R.
    const std::vector<int16_t> samples{0x0102, -2, 0x0304, 0x7F00};
    ring->append(*bigEndianInt16(samples, 2, interleaved, platform::MediaTime(480, 48000)));
    auto out = PCMBuffer::make(format, 2);
    out->setFrameLength(2);
    ASSERT_EQ(AudioRingBuffer::kNoErr, ring->render(2, out.get()));
    if (interleaved) {
      EXPECT_EQ(samples, std::vector<int16_t>(out->int16ChannelData()[0], out->int16ChannelData()[0] + 4));
    } else {
      EXPECT_EQ((std::vector<int16_t>{0x0102, -2}), std::vector<int16_t>(out->int16ChannelData()[0], out->int16ChannelData()[0] + 2));
      EXPECT_EQ((std::vector<int16_t>{0x0304, 0x7F00}), std::vector<int16_t>(out->int16ChannelData()[1], out->int16ChannelData()[1] + 2));
    }
  }
}

TEST(AudioRingBufferTest, SampleBufferTimesFollowThePresentationTime) {
  const AudioFormat format(CommonFormat::int16, 48000, 1, true);
  auto ring = AudioRingBuffer::make(format, 1);
  std::vector<int16_t> ten(10, 3);
  // One second on the host clock is sample 48000.
  ring->append(*bigEndianInt16(ten, 1, true, platform::MediaTime::fromNanos(1'000'000'000)));
  EXPECT_EQ(48010, ring->sampleTime());
  // 100 microseconds later is frame 48004 (truncated): it overlaps, so nothing is owed.
  ring->append(*bigEndianInt16(ten, 1, true, platform::MediaTime::fromNanos(1'000'100'000)));
  EXPECT_EQ(0, ring->skip());
  // 10 ms later: owed silence of the difference.
  ring->append(*bigEndianInt16(ten, 1, true, platform::MediaTime::fromNanos(1'010'000'000)));
  EXPECT_EQ(48480 - 48020, ring->skip());
  // Half a second later, more than the ring holds: it starts again there, owing nothing more.
  ring->append(*bigEndianInt16(ten, 1, true, platform::MediaTime::fromNanos(1'500'000'000)));
  EXPECT_EQ(48480 - 48020, ring->skip());
  EXPECT_EQ(72010, ring->sampleTime());

  // Longer than the ring: owed as silence, nothing stored.
  const int64_t before = ring->counts();
  ring->append(*bigEndianInt16(std::vector<int16_t>(2000, 1), 1, true, platform::MediaTime(72010, 48000)));
  EXPECT_EQ(before + 2000, ring->counts());
  EXPECT_EQ(74010, ring->sampleTime());
}
