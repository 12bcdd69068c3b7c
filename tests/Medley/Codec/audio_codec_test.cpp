#include <gtest/gtest.h>

#include "Medley/Codec/audio_test_support.h"
#include "Medley/Sources/ISO/ADTSHeader.h"

using namespace audiotest;
using platform::CommonFormat;

TEST(AudioCodecTest, AacPacketsAreWholeOnHostTimeAndDecodeBackToTheSine) {
  AudioCodec codec;
  running(codec, AudioCodecSettings());
  Reader reader(codec.outputStream());
  feedSine(codec, kStereo, 48000, 480);  // buffer sizes unrelated to the packet size
  codec.stopRunning();
  const auto packets = reader.finish();
  // Frames wait until a packet is whole; the encoder holds its first packet back.
  ASSERT_GE(packets.size(), 45u);
  ASSERT_LE(packets.size(), 46u);
  for (size_t n = 0; n < packets.size(); ++n) {
    const auto& [buffer, time] = packets[n];
    EXPECT_EQ(1u, std::dynamic_pointer_cast<platform::CompressedAudioBuffer>(buffer)->packetCount());
    ASSERT_TRUE(time.hostTimeValid);
    EXPECT_NEAR(double(kStartHost + (n + 1) * 1024 * 1e9 / kRate), double(time.hostTime), 1.0);
  }

  const auto decoded = decode(packets);
  ASSERT_EQ(packets.size(), decoded.size()) << "each packet is decoded exactly once";
  const auto samples = channelZero(decoded);
  EXPECT_EQ(packets.size() * 1024, samples.size());
  EXPECT_GT(bestCorrelation(samples, kRate), 0.95);
}

TEST(AudioCodecTest, OpusRoundTripKeepsASine) {
  AudioCodec codec;
  running(codec, AudioCodecSettings(96000, true, std::nullopt, 0, AudioCodecFormat::opus));
  Reader reader(codec.outputStream());
  feedSine(codec, kStereo, 48000, 441);
  codec.stopRunning();
  const auto packets = reader.finish();
  ASSERT_EQ(50u, packets.size());  // 20 ms packets

  AudioCodec decoder;
  running(decoder, kPCM);
  const auto samples = channelZero(readAll(decoder.outputStream(), [&] {
    for (const auto& [buffer, time] : packets) decoder.append(buffer, time);
    decoder.stopRunning();
  }));
  // 1024-frame buffers hold whole outputs only: 48000 frames give 46 of them.
  EXPECT_EQ(46u * 1024, samples.size());
  EXPECT_GT(bestCorrelation(samples, kRate), 0.95);
}

TEST(AudioCodecTest, SettingsChangesKeepOrDropTheConverter) {
  AudioCodec codec;
  running(codec, AudioCodecSettings());
  feedSine(codec, kStereo, 4096, 1024);
  const auto* converter = codec.audioConverter();
  const int64_t sampleTime = codec.audioTime().sampleTime();

  auto settings = codec.settings();
  settings.bitRate = 128000;
  codec.setSettings(settings);
  EXPECT_EQ(converter, codec.audioConverter());
  EXPECT_EQ(sampleTime, codec.audioTime().sampleTime());

  settings.format = AudioCodecFormat::opus;
  codec.setSettings(settings);
  EXPECT_EQ(nullptr, codec.audioConverter());
  feedSine(codec, kStereo, 1024, 1024);
  EXPECT_EQ(platform::audioFormatID::opus, codec.audioConverter()->outputFormat().formatID());
  // A new converter after none: the time base starts again from this append.
  EXPECT_EQ(static_cast<int64_t>(kStartHost * kRate / 1e9), codec.audioTime().anchorTime()->sampleTime);
}

TEST(AudioCodecTest, StoppedCodecYieldsNothingOnlyTheNewestReaderGetsPacketsAndARestartResetsTheTimeBase) {
  AudioCodec codec;
  codec.setSettings(AudioCodecSettings());
  Reader replaced(codec.outputStream());
  Reader stopped(codec.outputStream());
  EXPECT_TRUE(replaced.finish().empty());
  feedSine(codec, kStereo, 8192, 1024);
  EXPECT_TRUE(codec.audioConverter()) << "the format is recorded while stopped";
  EXPECT_FALSE(codec.audioTime().hasAnchor());

  codec.startRunning();
  feedSine(codec, kStereo, 8192, 1024);
  codec.stopRunning();
  EXPECT_EQ(7u, stopped.finish().size());

  // A new sequence works again after a restart, and the time base starts over.
  Reader again(codec.outputStream());
  codec.startRunning();
  EXPECT_FALSE(codec.audioTime().hasAnchor());
  codec.append(sine(kStereo, 0, 1024), AudioTime::with(kStartHost * 2, 0, kRate));
  EXPECT_EQ(kStartHost * 2, codec.audioTime().anchorTime()->hostTime);
  codec.stopRunning();
  again.finish();
}

namespace {

// The packets framed as one ADTS sample buffer.
platform::SampleBufferRef adtsSampleBuffer(const std::vector<AudioCodec::Output>& packets, platform::MediaTime pts) {
  std::vector<uint8_t> bytes;
  std::vector<size_t> sizes;
  for (const auto& [buffer, time] : packets) {
    auto packet = std::dynamic_pointer_cast<platform::CompressedAudioBuffer>(buffer);
    std::vector<uint8_t> frame(7 + packet->byteLength());
    EXPECT_TRUE(medley::encodeADTS(*packet, frame));
    bytes.insert(bytes.end(), frame.begin(), frame.end());
    sizes.push_back(frame.size());
  }
  medley::ADTSHeader header(bytes);
  platform::SampleTiming timing;
  timing.presentationTime = pts;
  return platform::SampleBuffer::makeData(platform::BlockBuffer::copy(bytes), header.makeFormatDescription(), timing,
                                          sizes.size(), sizes);
}

}  // namespace

TEST(AudioCodecTest, DecodesAdtsSampleBuffersPacketByPacket) {
  AudioCodec encoder;
  running(encoder, AudioCodecSettings());
  Reader encoded(encoder.outputStream());
  feedSine(encoder, kStereo, 6 * 1024, 1024);
  encoder.stopRunning();
  auto packets = encoded.finish();
  ASSERT_EQ(5u, packets.size());
  packets.resize(3);
  auto sample = adtsSampleBuffer(packets, platform::MediaTime(90000, 1000));

  AudioCodec aac;
  running(aac, AudioCodecSettings());
  aac.append(*sample);
  EXPECT_FALSE(aac.inputFormat()) << "only a codec with PCM output decodes";

  AudioCodec decoder;
  running(decoder, kPCM);
  Reader reader(decoder.outputStream());
  decoder.append(*sample);
  decoder.stopRunning();
  const auto outputs = reader.finish();
  ASSERT_EQ(3u, outputs.size());
  EXPECT_EQ(3u * 1024, channelZero(outputs).size());
  // The packets' stream positions at the output rate: 90 s, then one packet later each.
  EXPECT_EQ(90 * 48000 + 1024, outputs[0].second.sampleTime);
  EXPECT_EQ(90 * 48000 + 3 * 1024, outputs[2].second.sampleTime);
}

class PcmConversionTest : public testing::TestWithParam<uint32_t> {};

TEST_P(PcmConversionTest, ChangesTheRateWithoutLosingFrames) {
  const AudioFormat input(CommonFormat::int16, 44100, 2, true);
  const uint32_t chunk = GetParam();
  AudioCodec codec;
  running(codec, AudioCodecSettings(64000, true, std::nullopt, 48000, AudioCodecFormat::pcm));
  Reader reader(codec.outputStream());
  for (uint32_t at = 0; at < 44100; at += chunk) {
    const uint32_t n = std::min(chunk, 44100 - at);
    auto buffer = PCMBuffer::make(input, n);
    buffer->setFrameLength(n);
    for (uint32_t i = 0; i < n * 2; ++i)
      buffer->int16ChannelData()[0][i] = int16_t(12000 * std::sin(2 * M_PI * 1000 * double(at + i / 2) / 44100));
    codec.append(buffer, AudioTime::with(kStartHost + at * 1'000'000'000LL / 44100, at, 44100));
  }
  codec.stopRunning();
  const auto outputs = reader.finish();
  const auto samples = channelZero(outputs);
  // A second of input is a second of output, less what the resampler and the
  // last partial buffer still hold.
  EXPECT_GE(samples.size(), 48000u - 2048);
  EXPECT_LE(samples.size(), 48000u);
  EXPECT_EQ(0u, samples.size() % 1024);
  for (size_t n = 1; n < outputs.size(); ++n)
    EXPECT_EQ(1024, outputs[n].second.sampleTime - outputs[n - 1].second.sampleTime);
  EXPECT_GT(bestCorrelation(samples, 48000), 0.9);
}

// Buffers shorter and much longer than the codec's 1024-frame blocks.
INSTANTIATE_TEST_SUITE_P(AudioCodecTest, PcmConversionTest, testing::Values(441u, 4410u));
