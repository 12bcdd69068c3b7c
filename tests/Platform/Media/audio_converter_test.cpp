#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "Platform/Media/AudioConverter.h"
#include "MediaTestSupport.h"

using namespace platform;
using Status = AudioConverter::OutputStatus;
using In = AudioConverter::InputStatus;

namespace {

const AudioFormat kMono441(CommonFormat::int16, 44100, 1, true);
const AudioFormat kStereo48 = AudioFormat::standard(48000, 2);

// A 1 kHz sine at half scale on the first channel (the others silent), handed out
// in chunks of at most `chunk` frames, `total` frames in all.
struct SineSource {
  uint32_t chunk;
  uint32_t total;
  AudioFormat format = kMono441;
  uint32_t sent = 0;
  bool dryAfterEachChunk = false;
  bool dryNext = false;

  AudioConverter::InputBlock block() {
    return [this](uint32_t wanted, In& status) -> PCMBufferRef {
      if (dryNext) {
        dryNext = false;
        status = In::noDataNow;
        return nullptr;
      }
      if (sent >= total) {
        status = In::endOfStream;
        return nullptr;
      }
      const uint32_t n = std::min({chunk, wanted, total - sent});
      auto b = PCMBuffer::make(format, n);
      b->zeroCapacity();
      for (uint32_t i = 0; i < n; ++i) {
        const double v = 0.5 * std::sin(2 * M_PI * 1000 * (sent + i) / format.sampleRate());
        if (b->int16ChannelData()) b->int16ChannelData()[0][i * b->stride()] = static_cast<int16_t>(std::lround(32768 * v));
        else b->floatChannelData()[0][i] = static_cast<float>(v);
      }
      b->setFrameLength(n);
      sent += n;
      dryNext = dryAfterEachChunk;
      status = In::haveData;
      return b;
    };
  }
};

}  // namespace

TEST(AudioConverter, ResamplesMonoInt16To48kStereoFloatContinuouslyOverSmallPulls) {
  auto converter = AudioConverter::make(kMono441, kStereo48);
  ASSERT_TRUE(converter);
  ASSERT_TRUE(converter->setChannelMap({0, 0}));
  SineSource source{37, 44100};
  source.dryAfterEachChunk = true;  // every pull ends dry, as with live capture

  std::vector<float> left, right;
  Status status = Status::haveData;
  int calls = 0;
  while (status != Status::endOfStream && ++calls < 100000) {
    auto out = PCMBuffer::make(kStereo48, 100);
    std::string error;
    status = converter->convert(*out, source.block(), &error);
    ASSERT_NE(status, Status::error) << error;
    ASSERT_LE(out->frameLength(), 100u);
    for (uint32_t i = 0; i < out->frameLength(); ++i) {
      left.push_back(out->floatChannelData()[0][i]);
      right.push_back(out->floatChannelData()[1][i]);
    }
  }
  ASSERT_EQ(status, Status::endOfStream);
  // One second in, one second out once the end of stream drained the filter.
  EXPECT_NEAR(static_cast<double>(left.size()), 48000.0, 2.0);
  EXPECT_EQ(left, right);

  // Continuity: after the filter's start-up, a 1 kHz sine moves at most
  // 0.5 x 2 pi x 1000 / 48000 = 0.065 per sample; a seam between pulls would jump further.
  double maxStep = 0, peak = 0;
  for (size_t i = 200; i + 200 < left.size(); ++i) {
    maxStep = std::max(maxStep, std::abs(double(left[i]) - left[i - 1]));
    peak = std::max(peak, std::abs(double(left[i])));
  }
  EXPECT_LT(maxStep, 0.0675);
  EXPECT_NEAR(peak, 0.5, 0.01);

  // It is the right tone: count rising zero crossings over the steady part (one per millisecond).
  int crossings = 0;
  for (size_t i = 4800; i < 4800 + 48000 / 2; ++i)
    if (left[i - 1] < 0 && left[i] >= 0) ++crossings;
  EXPECT_NEAR(crossings, 500, 1);
}

TEST(AudioConverter, EndOfStreamDrainsThenStaysEndedUntilReset) {
  auto converter = AudioConverter::make(kMono441, kStereo48);
  SineSource source{441, 441};
  auto out = PCMBuffer::make(kStereo48, 4096);
  EXPECT_EQ(converter->convert(*out, source.block()), Status::haveData);  // data, then the drained tail
  EXPECT_NEAR(out->frameLength(), 480.0, 1.0);
  int calls = 0;
  auto never = [&](uint32_t, In& s) -> PCMBufferRef {
    ++calls;
    s = In::haveData;
    return nullptr;
  };
  EXPECT_EQ(converter->convert(*out, never), Status::endOfStream);
  EXPECT_EQ(out->frameLength(), 0u);
  EXPECT_EQ(calls, 0);  // the input is not asked again after its end

  converter->reset();
  SineSource more{441, 441};
  more.dryAfterEachChunk = true;
  EXPECT_EQ(converter->convert(*out, more.block()), Status::inputRanDry);
  // 480 frames' worth, less what the filter holds back; then dry again, empty.
  EXPECT_GT(out->frameLength(), 400u);
  EXPECT_LE(out->frameLength() + converter->delayFrames(), 481u);
  auto dry = [](uint32_t, In& s) -> PCMBufferRef {
    s = In::noDataNow;
    return nullptr;
  };
  EXPECT_EQ(converter->convert(*out, dry), Status::inputRanDry);
  EXPECT_EQ(out->frameLength(), 0u);
}

TEST(AudioConverter, ChannelMapPicksSilencesAndDuplicates) {
  const AudioFormat in = AudioFormat::standard(48000, 2);
  const AudioFormat out3(CommonFormat::float32, 48000, 3, true);
  auto converter = AudioConverter::make(in, out3);
  ASSERT_TRUE(converter);
  EXPECT_FALSE(converter->setChannelMap({0, 1}));      // one entry per output channel
  EXPECT_FALSE(converter->setChannelMap({0, 2, 1}));   // no input channel 2
  ASSERT_TRUE(converter->setChannelMap({1, -1, 0}));

  auto src = PCMBuffer::make(in, 64);
  for (int i = 0; i < 64; ++i) {
    src->floatChannelData()[0][i] = i / 64.0f;
    src->floatChannelData()[1][i] = -0.25f;
  }
  src->setFrameLength(64);
  auto dst = PCMBuffer::make(out3, 64);
  std::string error;
  ASSERT_TRUE(converter->convert(*dst, *src, &error)) << error;
  ASSERT_EQ(dst->frameLength(), 64u);
  const float* f = dst->floatChannelData()[0];
  for (int i = 0; i < 64; ++i) {
    ASSERT_FLOAT_EQ(f[3 * i], -0.25f) << i;
    ASSERT_FLOAT_EQ(f[3 * i + 1], 0.0f) << i;
    ASSERT_FLOAT_EQ(f[3 * i + 2], i / 64.0f) << i;
  }
}

TEST(AudioConverter, RefusesWhatItCannotDo) {
  std::string error;
  EXPECT_FALSE(AudioConverter::make(platform::testing::aacFormat(48000), kStereo48, &error));
  EXPECT_NE(error.find("input"), std::string::npos);
  EXPECT_FALSE(AudioConverter::make(kStereo48, AudioFormat(CommonFormat::float32, 44100.5, 2, false), &error));
  EXPECT_NE(error.find("output"), std::string::npos);

  auto converter = AudioConverter::make(kMono441, kStereo48);
  // Buffer-to-buffer needs equal rates.
  auto src = PCMBuffer::make(kMono441, 10);
  auto dst = PCMBuffer::make(kStereo48, 10);
  EXPECT_FALSE(converter->convert(*dst, *src, &error));
  EXPECT_NE(error.find("rate"), std::string::npos);

  // Wrong output buffer, or an input block handing over another format: an error, not a crash.
  auto wrongOut = PCMBuffer::make(AudioFormat::standard(48000, 1), 10);
  SineSource source{10, 10};
  EXPECT_EQ(converter->convert(*wrongOut, source.block(), &error), Status::error);
  auto wrongIn = [&](uint32_t, In& s) -> PCMBufferRef {
    s = In::haveData;
    auto b = PCMBuffer::make(kStereo48, 10);
    b->setFrameLength(10);
    return b;
  };
  EXPECT_EQ(converter->convert(*dst, wrongIn, &error), Status::error);
  EXPECT_NE(error.find("input buffer format"), std::string::npos);
  EXPECT_EQ(dst->frameLength(), 0u);
}

TEST(AudioConverter, DefaultMapSpreadsMonoAndDownmixMixesUnlessAMapIsSet) {
  const AudioFormat s16(CommonFormat::int16, 48000, 1, true);
  auto src = PCMBuffer::make(s16, 3);
  const int16_t values[3] = {16384, -16384, 32767};
  std::copy(values, values + 3, src->int16ChannelData()[0]);
  src->setFrameLength(3);
  auto dst = PCMBuffer::make(kStereo48, 8);
  ASSERT_TRUE(AudioConverter::make(s16, kStereo48)->convert(*dst, *src));
  ASSERT_EQ(dst->frameLength(), 3u);
  for (int c = 0; c < 2; ++c) {
    EXPECT_FLOAT_EQ(dst->floatChannelData()[c][0], 0.5f);
    EXPECT_FLOAT_EQ(dst->floatChannelData()[c][1], -0.5f);
    EXPECT_NEAR(dst->floatChannelData()[c][2], 1.0f, 1e-4);
  }

  const AudioFormat mono = AudioFormat::standard(48000, 1);
  auto stereo = PCMBuffer::make(kStereo48, 1);
  stereo->floatChannelData()[0][0] = 0.0f;
  stereo->floatChannelData()[1][0] = 0.5f;
  stereo->setFrameLength(1);
  auto out = PCMBuffer::make(mono, 1);
  auto converter = AudioConverter::make(kStereo48, mono);
  ASSERT_TRUE(converter->convert(*out, *stereo));
  EXPECT_FLOAT_EQ(out->floatChannelData()[0][0], 0.0f);  // left only
  converter->setDownmix(true);
  ASSERT_TRUE(converter->convert(*out, *stereo));
  EXPECT_GT(out->floatChannelData()[0][0], 0.1f);  // right is heard too
  EXPECT_LE(out->floatChannelData()[0][0], 0.5f);
  ASSERT_TRUE(converter->setChannelMap({1}));
  ASSERT_TRUE(converter->convert(*out, *stereo));
  EXPECT_FLOAT_EQ(out->floatChannelData()[0][0], 0.5f);  // an explicit map wins
}

TEST(AudioConverter, PlanarStereoResamplingKeepsChannelsApart) {
  const AudioFormat in = AudioFormat::standard(44100, 2);
  auto converter = AudioConverter::make(in, kStereo48);
  SineSource source{64, 4410, in};
  double peaks[2] = {0, 0};
  auto out = PCMBuffer::make(kStereo48, 256);
  Status status;
  while ((status = converter->convert(*out, source.block())) == Status::haveData)
    for (int c = 0; c < 2; ++c)
      for (uint32_t i = 0; i < out->frameLength(); ++i)
        peaks[c] = std::max(peaks[c], std::abs(double(out->floatChannelData()[c][i])));
  EXPECT_EQ(status, Status::endOfStream);
  EXPECT_NEAR(peaks[0], 0.5, 0.02);
  EXPECT_LT(peaks[1], 1e-6);
}
