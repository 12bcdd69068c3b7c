// CPU time per second of mix: four stereo 48 kHz tracks summed by the
// multi-track mixer, two of them arriving as 16-bit integers and so converted,
// one second (47 blocks of 1024 frames per track, the main track last) per iteration.
#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>

#include "Medley/Sources/Mixer/AudioMixerByMultiTrack.h"
#include "Platform/Media/PCMBuffer.h"

namespace {

using platform::AudioFormat;
using platform::CommonFormat;

constexpr uint32_t kBlock = 1024;

platform::PCMBufferRef sine(const AudioFormat& format, double hz, uint32_t frames) {
  auto b = platform::PCMBuffer::make(format, frames);
  b->setFrameLength(frames);
  for (uint32_t i = 0; i < frames; ++i) {
    const double v = 0.2 * std::sin(2 * std::numbers::pi * hz * i / 48000);
    for (uint32_t c = 0; c < 2; ++c) {
      if (format.commonFormat() == CommonFormat::float32)
        b->floatChannelData()[0][2 * i + c] = static_cast<float>(v);
      else
        b->int16ChannelData()[0][2 * i + c] = static_cast<int16_t>(v * 32767);
    }
  }
  return b;
}

class Sink final : public medley::AudioMixerDelegate {
 public:
  void audioMixerDidOutput(medley::AudioMixer&, const platform::PCMBuffer& buffer,
                           const platform::AudioTime&) override {
    frames += buffer.frameLength();
    benchmark::DoNotOptimize(buffer.floatChannelData()[0][0]);
  }
  int64_t frames = 0;
};

void mixFourTracks(benchmark::State& state) {
  const AudioFormat floats(CommonFormat::float32, 48000, 2, true);
  const AudioFormat shorts(CommonFormat::int16, 48000, 2, true);
  const platform::PCMBufferRef inputs[] = {sine(floats, 440, kBlock), sine(floats, 550, kBlock),
                                           sine(shorts, 660, kBlock), sine(shorts, 880, kBlock)};
  auto sink = std::make_shared<Sink>();
  medley::AudioMixerByMultiTrack mixer;
  mixer.setDelegate(sink);
  int64_t at = 1;
  for (auto _ : state) {
    for (int b = 0; b < 47; ++b) {
      for (uint8_t t : {3, 2, 1, 0}) mixer.append(t, *inputs[t], platform::AudioTime::withSampleTime(at, 48000));
      at += kBlock;
    }
  }
  state.counters["mix_seconds_per_cpu_second"] =
      benchmark::Counter(static_cast<double>(sink->frames) / 48000, benchmark::Counter::kIsRate);
}
BENCHMARK(mixFourTracks)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
