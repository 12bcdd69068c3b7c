// The end of a stream: the last frames in the ring and what the encoder holds
// back must come out, timed on from the packets before them.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "Medley/Sources/Codec/AudioCodec.h"
#include "Medley/Sources/Stream/OutgoingStream.h"
#include "Platform/Concurrency/Concurrency.h"
#include "Platform/Dispatch/VirtualRuntime.h"
#include "Platform/Media/CompressedAudioBuffer.h"
#include "Platform/Media/PCMBuffer.h"

using medley::AudioCodec;
using medley::AudioCodecFormat;
using medley::AudioCodecSettings;
using platform::AudioFormat;
using platform::AudioTime;
using platform::PCMBuffer;

namespace {

constexpr double kRate = 48000;
constexpr uint32_t kToneFrames = 600;  // a tone closes the input; before it, silence
const AudioFormat kStereo = AudioFormat::standard(kRate, 2);

std::vector<AudioCodec::Output> readAll(platform::AsyncStream<AudioCodec::Output> stream,
                                        const std::function<void()>& produce) {
  auto rt = platform::VirtualRuntime::make();
  auto q = platform::SerialQueue::make("reader", rt);
  auto task = platform::spawn(q, [stream]() -> platform::Async<std::vector<AudioCodec::Output>> {
    std::vector<AudioCodec::Output> out;
    while (auto v = co_await stream.next()) out.push_back(*v);
    co_return out;
  });
  rt->runUntilIdle();
  produce();
  rt->runUntilIdle();
  EXPECT_TRUE(task.isFinished());
  return task.result();
}

AudioTime hostTimeOf(int64_t frame, platform::Nanos start) {
  return AudioTime::with(start + static_cast<platform::Nanos>(frame * 1e9 / kRate), frame, kRate);
}

// `total` frames in buffers of 480: silence, then a 1 kHz tone for the last kToneFrames.
void feed(AudioCodec& codec, uint32_t total, platform::Nanos start) {
  for (uint32_t at = 0; at < total; at += 480) {
    const uint32_t n = std::min<uint32_t>(480, total - at);
    auto buffer = PCMBuffer::make(kStereo, n);
    buffer->setFrameLength(n);
    for (uint32_t c = 0; c < 2; ++c)
      for (uint32_t i = 0; i < n; ++i) {
        const uint32_t frame = at + i;
        buffer->floatChannelData()[c][i] =
            frame + kToneFrames >= total ? static_cast<float>(0.5 * std::sin(2 * M_PI * 1000 * frame / kRate)) : 0.f;
      }
    codec.append(buffer, hostTimeOf(at, start));
  }
}

std::vector<float> decodeChannelZero(const std::vector<AudioCodec::Output>& packets) {
  AudioCodec decoder;
  decoder.setSettings(AudioCodecSettings(64000, true, std::nullopt, 0, AudioCodecFormat::pcm));
  decoder.startRunning();
  const auto decoded = readAll(decoder.outputStream(), [&] {
    int64_t position = 0;
    for (const auto& [buffer, time] : packets) {
      decoder.append(buffer, AudioTime::withSampleTime(position, kRate));
      position += 1024;
    }
    decoder.drain();
    decoder.stopRunning();
  });
  std::vector<float> samples;
  for (const auto& [buffer, time] : decoded) {
    auto pcm = std::dynamic_pointer_cast<PCMBuffer>(buffer);
    if (!pcm) continue;
    for (uint32_t i = 0; i < pcm->frameLength(); ++i) samples.push_back(pcm->floatChannelData()[0][i * pcm->stride()]);
  }
  return samples;
}

double rms(const std::vector<float>& samples, size_t from, size_t to) {
  if (to > samples.size() || from >= to) return 0;
  double sum = 0;
  for (size_t i = from; i < to; ++i) sum += double(samples[i]) * samples[i];
  return std::sqrt(sum / double(to - from));
}

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
  const auto format = c.format;
  const uint32_t total = c.total;
  const int64_t framesPerPacket = c.framesPerPacket, priming = c.priming;
  const platform::Nanos start = 3'000'000'000;
  AudioCodec codec;
  codec.setSettings(AudioCodecSettings(128000, true, std::nullopt, 0, format));
  codec.startRunning();
  const auto packets = readAll(codec.outputStream(), [&] {
    feed(codec, total, start);
    codec.drain();
    codec.stopRunning();
  });

  // Whole packets for the priming and every frame, and not one more.
  const int64_t expected = (int64_t(total) + priming + framesPerPacket - 1) / framesPerPacket;
  ASSERT_EQ(int64_t(packets.size()), expected);
  const int64_t anchor = static_cast<int64_t>(start * kRate / 1e9);
  for (size_t n = 0; n < packets.size(); ++n) {
    auto packet = std::dynamic_pointer_cast<platform::CompressedAudioBuffer>(packets[n].first);
    ASSERT_TRUE(packet);
    EXPECT_GT(packet->byteLength(), 0u);
    const auto& time = packets[n].second;
    EXPECT_EQ(time.sampleTime, anchor + int64_t(n + 1) * framesPerPacket) << "packet " << n;
    if (n > 0) EXPECT_GT(time.hostTime, packets[n - 1].second.hostTime);
  }

  // The closing tone is there after decoding, up to its last frames.
  const auto decoded = decodeChannelZero(packets);
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
  codec.setSettings(AudioCodecSettings());
  codec.startRunning();
  const platform::Nanos later = 9'000'000'000;
  const auto packets = readAll(codec.outputStream(), [&] {
    feed(codec, 4096, 1'000'000'000);
    codec.drain();
    feed(codec, 4096, later);
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
    auto buffer = PCMBuffer::make(kStereo, 3000);
    buffer->setFrameLength(3000);
    stream.append(buffer, hostTimeOf(0, 1'000'000'000));
    stream.stopRunning();
  });
  EXPECT_EQ(packets.size(), 4u);  // (1024 priming + 3000) / 1024, rounded up
}
