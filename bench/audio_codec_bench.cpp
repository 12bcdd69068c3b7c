// Encoding cost of the program sound: one second of 48 kHz stereo through the
// audio codec per iteration (real time needs well under a second), and the
// ring buffer's append/render pair the codec runs for every buffer.
#include <benchmark/benchmark.h>

#include <cmath>

#include "Medley/Sources/Codec/AudioCodec.h"
#include "Medley/Sources/Mixer/AudioRingBuffer.h"
#include "Platform/Media/PCMBuffer.h"

namespace {

const platform::AudioFormat kFormat = platform::AudioFormat::standard(48000, 2);

platform::PCMBufferRef tone(uint32_t frames) {
  auto buffer = platform::PCMBuffer::make(kFormat, frames);
  buffer->setFrameLength(frames);
  for (uint32_t c = 0; c < 2; ++c)
    for (uint32_t i = 0; i < frames; ++i) buffer->floatChannelData()[c][i] = float(0.3 * std::sin(i * 0.13));
  return buffer;
}

void encodeOneSecond(benchmark::State& state, medley::AudioCodecFormat format) {
  medley::AudioCodec codec;
  codec.setSettings(medley::AudioCodecSettings(96000, true, std::nullopt, 0, format));
  codec.startRunning();
  auto stream = codec.outputStream();
  const auto buffer = tone(960);  // 20 ms, as the program sound arrives
  int64_t frame = 0;
  for (auto _ : state) {
    for (int i = 0; i < 50; ++i) {
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
  const auto in = tone(960);
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
