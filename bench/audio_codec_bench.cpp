// Encoding cost of the program sound: one second of 48 kHz stereo through the
// audio codec per iteration (real time needs well under a second), and the
// ring buffer's append/render pair the codec runs for every buffer.
#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "Medley/Sources/Codec/AudioCodec.h"
#include "Medley/Sources/Mixer/AudioRingBuffer.h"
#include "Platform/Media/PCMBuffer.h"

namespace {

const platform::AudioFormat kFormat = platform::AudioFormat::standard(48000, 2);

// A whole number of cycles per second: a second of buffers repeats without a
// break in phase, so the encoder sees one continuous tone (restarting the phase
// in every buffer would make a click train, far costlier to encode).
constexpr double kToneHz = 997;

// `count` consecutive buffers of `frames` each, starting at sample `first`.
std::vector<platform::PCMBufferRef> tone(uint32_t frames, int count = 1, int64_t first = 0) {
  std::vector<platform::PCMBufferRef> buffers;
  for (int b = 0; b < count; ++b) {
    auto buffer = platform::PCMBuffer::make(kFormat, frames);
    buffer->setFrameLength(frames);
    for (uint32_t i = 0; i < frames; ++i) {
      const int64_t n = first + static_cast<int64_t>(b) * frames + i;
      const double phase = 2 * std::numbers::pi * kToneHz * static_cast<double>(n % 48000) / 48000;
      for (uint32_t c = 0; c < 2; ++c) buffer->floatChannelData()[c][i] = float(0.3 * std::sin(phase));
    }
    buffers.push_back(std::move(buffer));
  }
  return buffers;
}

void encodeOneSecond(benchmark::State& state, medley::AudioCodecFormat format) {
  medley::AudioCodec codec;
  codec.setSettings(medley::AudioCodecSettings(96000, true, std::nullopt, 0, format));
  codec.startRunning();
  auto stream = codec.outputStream();
  const auto second = tone(960, 50);  // 20 ms each, as the program sound arrives
  int64_t frame = 0;
  for (auto _ : state) {
    for (const auto& buffer : second) {
      codec.append(buffer, platform::AudioTime::with(frame * 1'000'000'000LL / 48000, frame, 48000));
      frame += 960;
    }
    // Drop what was produced so the unread stream stays small.
    stream = codec.outputStream();
  }
  state.SetItemsProcessed(state.iterations() * 48000);
}

void BM_EncodeAacOneSecond(benchmark::State& state) { encodeOneSecond(state, medley::AudioCodecFormat::aac); }
void BM_EncodeOpusOneSecond(benchmark::State& state) { encodeOneSecond(state, medley::AudioCodecFormat::opus); }

void BM_RingBufferAppendRender(benchmark::State& state) {
  auto ring = medley::AudioRingBuffer::make(kFormat, 16);
  const auto in = tone(960).front();
  auto out = platform::PCMBuffer::make(kFormat, 1024);
  out->setFrameLength(1024);
  int64_t frame = 1;
  for (auto _ : state) {
    ring->append(*in, platform::AudioTime::withSampleTime(frame, 48000));
    frame += 960;
    while (ring->counts() >= 1024) ring->render(1024, out.get());
    benchmark::DoNotOptimize(out->floatChannelData()[0][0]);
  }
  state.SetItemsProcessed(state.iterations() * 960);
}

}  // namespace

BENCHMARK(BM_EncodeAacOneSecond)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeOpusOneSecond)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RingBufferAppendRender);
BENCHMARK_MAIN();
