// CPU time per second of program sound: each iteration puts one second of a
// microphone (100 buffers of 10 ms) through the program sound on virtual time,
// conversion, metering, placement and hand-off included.
#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>

#include "Platform/Dispatch/RuntimeExit.h"
#include "Platform/Dispatch/VirtualRuntime.h"
#include "Platform/Media/PCMBuffer.h"
#include "Quarzadel/Capture/SyntheticToneSource.h"
#include "Quarzadel/Program/ProgramAudio.h"

namespace {

using namespace quarzadel;

class BenchSource final : public AudioFrameSource {
 public:
  std::string sourceID() const override { return "bench"; }
  std::string displayName() const override { return "Bench Mic"; }
  void start(std::shared_ptr<platform::SerialQueue>, BufferHandler onBuffer, FailureHandler) override {
    onBuffer_ = std::move(onBuffer);
  }
  void stop() override {}
  void deliver(const PCMBufferRef& b, double t) { onBuffer_(b, t); }

 private:
  BufferHandler onBuffer_;
};

PCMBufferRef sineBuffer(double rate, uint32_t channels, uint32_t frames) {
  auto b = platform::PCMBuffer::make(platform::AudioFormat::standard(rate, channels), frames);
  b->setFrameLength(frames);
  for (uint32_t c = 0; c < channels; ++c)
    for (uint32_t i = 0; i < frames; ++i)
      b->floatChannelData()[c][i] = 0.3f * static_cast<float>(std::sin(2 * std::numbers::pi * 440 * i / rate));
  return b;
}

void programSound(benchmark::State& state, double rate, uint32_t channels) {
  auto runtime = platform::VirtualRuntime::make();
  auto audio = ProgramAudio::make(runtime);
  int64_t frames = 0;
  audio->onOutput = [&](const platform::PCMBufferRef& b, const platform::AudioTime&) { frames += b->frameLength(); };
  audio->onLevel = [](AudioLevel l) { benchmark::DoNotOptimize(l); };
  auto source = std::make_shared<BenchSource>();
  audio->start();
  audio->switchTo(source);
  runtime->runUntilIdle();
  const auto perBuffer = static_cast<uint32_t>(rate / 100);
  const auto input = sineBuffer(rate, channels, perBuffer);
  double stamp = platform::toSeconds(runtime->now());
  for (auto _ : state) {
    for (int i = 0; i < 100; ++i) {
      audio->queue()->async([&] { source->deliver(input, stamp); });
      stamp += perBuffer / rate;
      runtime->advance(platform::milliseconds(10));
    }
  }
  state.counters["out_frames_per_iter"] = static_cast<double>(frames) / static_cast<double>(state.iterations());
  audio->stop();
  runtime->runUntilIdle();
}

// The sources' normal format: direct copy.
void BM_ProgramSoundOneSecond_48kMono(benchmark::State& state) { programSound(state, 48000, 1); }
void BM_ProgramSoundOneSecond_48kStereo(benchmark::State& state) { programSound(state, 48000, 2); }
// A microphone at another rate: the cached rate converter.
void BM_ProgramSoundOneSecond_44k1Mono(benchmark::State& state) { programSound(state, 44100, 1); }

// The test tone on air: one second of beeps and silence made and placed.
void BM_ProgramSoundOneSecond_TestTone(benchmark::State& state) {
  auto runtime = platform::VirtualRuntime::make();
  auto audio = ProgramAudio::make(runtime);
  int64_t frames = 0;
  audio->onOutput = [&](const platform::PCMBufferRef& b, const platform::AudioTime&) { frames += b->frameLength(); };
  audio->start();
  audio->switchTo(std::make_shared<SyntheticToneSource>(ToneSpec{"synthetic-tone", "Tone"}));
  runtime->runUntilIdle();
  for (auto _ : state) runtime->advance(platform::seconds(1.0));
  state.counters["out_frames_per_iter"] = static_cast<double>(frames) / static_cast<double>(state.iterations());
  audio->stop();
  runtime->runUntilIdle();
}

// Silence only: the watchdog keeps the stream going without a source.
void BM_ProgramSoundOneSecond_SilenceFill(benchmark::State& state) {
  auto runtime = platform::VirtualRuntime::make();
  auto audio = ProgramAudio::make(runtime);
  int64_t frames = 0;
  audio->onOutput = [&](const platform::PCMBufferRef& b, const platform::AudioTime&) { frames += b->frameLength(); };
  audio->start();
  runtime->advance(platform::seconds(1.0));
  for (auto _ : state) runtime->advance(platform::seconds(1.0));
  state.counters["out_frames_per_iter"] = static_cast<double>(frames) / static_cast<double>(state.iterations() + 1);
  audio->stop();
  runtime->runUntilIdle();
}

BENCHMARK(BM_ProgramSoundOneSecond_48kMono)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProgramSoundOneSecond_48kStereo)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProgramSoundOneSecond_44k1Mono)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProgramSoundOneSecond_TestTone)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProgramSoundOneSecond_SilenceFill)->Unit(benchmark::kMicrosecond);

}  // namespace

// The program sound logs through the session log, whose queue is on the shared runtime.
int main(int argc, char** argv) {
  // The runtime's workers stop before the static objects go.
  platform::RuntimeStopAtReturn stopRuntime;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
