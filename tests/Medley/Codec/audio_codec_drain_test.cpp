// The end of a stream: the last frames in the ring and what the encoder holds
// back must come out, timed on from the packets before them.
#include <gtest/gtest.h>

#include "Medley/Codec/audio_test_support.h"
#include "Medley/Sources/Stream/OutgoingStream.h"

using namespace audiotest;

namespace {

struct Case {
  AudioCodecFormat format;
  uint32_t total;
  int64_t framesPerPacket;
  int64_t priming;  // frames of delay the encoder puts before the sound
};

class AudioCodecDrainTest : public testing::TestWithParam<Case> {};

}  // namespace

TEST_P(AudioCodecDrainTest, EveryInputFrameIsEncodedAndTimedInOrder) {
  const Case c = GetParam();
  const uint32_t total = c.total;
  const int64_t framesPerPacket = c.framesPerPacket, priming = c.priming;
  const platform::Nanos start = 3'000'000'000;
  AudioCodec codec;
  running(codec, AudioCodecSettings(128000, true, std::nullopt, 0, c.format));
  const auto packets = readAll(codec.outputStream(), [&] {
    feedSine(codec, kStereo, total, 480, start, int64_t(total) - 600);  // silence, then a closing tone
    codec.drain();
    codec.stopRunning();
  });

  // Whole packets for the priming and every frame, and not one more.
  ASSERT_EQ(int64_t(packets.size()), (int64_t(total) + priming + framesPerPacket - 1) / framesPerPacket);
  const int64_t anchor = static_cast<int64_t>(start * kRate / 1e9);
  for (size_t n = 0; n < packets.size(); ++n) {
    auto packet = std::dynamic_pointer_cast<platform::CompressedAudioBuffer>(packets[n].first);
    ASSERT_TRUE(packet && packet->byteLength() > 0);
    EXPECT_EQ(packets[n].second.sampleTime, anchor + int64_t(n + 1) * framesPerPacket) << "packet " << n;
    if (n > 0) EXPECT_GT(packets[n].second.hostTime, packets[n - 1].second.hostTime);
  }

  // The closing tone is there after decoding, up to its last frames.
  const auto decoded = channelZero(decode(packets, true));
  const size_t end = size_t(priming) + total;
  ASSERT_GE(decoded.size(), end);
  EXPECT_GT(rms(decoded, end - 500, end - 50), 0.2);
}

INSTANTIATE_TEST_SUITE_P(Formats, AudioCodecDrainTest,
                         testing::Values(Case{AudioCodecFormat::aac, 48300, 1024, 1024},
                                         Case{AudioCodecFormat::aac, 2000, 1024, 1024},
                                         // 312 frames of look-ahead: covered by the last frame's padding or not
                                         Case{AudioCodecFormat::opus, 48300, 960, 312},
                                         Case{AudioCodecFormat::opus, 47900, 960, 312}),
                         [](const auto& info) {
                           return std::string(info.param.format == AudioCodecFormat::aac ? "Aac" : "Opus") +
                                  std::to_string(info.param.total);
                         });

TEST(AudioCodecDrainTest, TheNextAppendAfterADrainStartsANewStream) {
  AudioCodec codec;
  running(codec, AudioCodecSettings());
  const platform::Nanos later = 9'000'000'000;
  const auto packets = readAll(codec.outputStream(), [&] {
    feedSine(codec, kStereo, 4096, 480, 1'000'000'000);
    codec.drain();
    feedSine(codec, kStereo, 4096, 480, later);
    codec.drain();
    codec.stopRunning();
  });
  // Each stream: its four packets and the encoder's priming packet.
  ASSERT_EQ(packets.size(), 10u);
  EXPECT_EQ(packets[5].second.sampleTime, static_cast<int64_t>(later * kRate / 1e9) + 1024);
}

TEST(AudioCodecDrainTest, StoppingPublishingHandsOutTheTail) {
  medley::OutgoingStream stream;
  stream.startRunning();
  const auto packets = readAll(stream.audioOutputStream(), [&] {
    stream.append(sine(kStereo, 0, 3000), timeOf(0, kRate, 1'000'000'000));
    stream.stopRunning();
  });
  EXPECT_EQ(packets.size(), 4u);  // (1024 priming + 3000) / 1024, rounded up
}
