// One compositor tick at 1920 x 1080 with one BT.709 camera picture filling the
// frame, a new picture each tick, composed in standard and in high dynamic
// range (where the picture is converted up to HLG) in the same run.
#include <benchmark/benchmark.h>

#include <vector>

#include "Medley/Sources/Screen/Screen.h"
#include "Medley/Sources/Screen/StreamScreenObject.h"

namespace {

using namespace medley;

// Varied luma and a wide spread of colours, different in each picture.
std::vector<platform::PixelBufferRef> cameraPictures() {
  std::vector<platform::PixelBufferRef> pictures;
  for (int i = 0; i < 8; ++i) {
    auto p = platform::PixelBuffer::make(1920, 1080, platform::PixelFormat::nv12VideoRange);
    const auto y = p->plane(0), uv = p->plane(1);
    for (int r = 0; r < y.height; ++r)
      for (int x = 0; x < y.width; ++x) y.data[r * y.bytesPerRow + x] = static_cast<uint8_t>(16 + (x + r + i * 7) % 220);
    for (int r = 0; r < uv.height; ++r)
      for (int x = 0; x < uv.width; ++x) {
        uv.data[r * uv.bytesPerRow + 2 * x] = static_cast<uint8_t>(64 + (x / 4 + i) % 128);
        uv.data[r * uv.bytesPerRow + 2 * x + 1] = static_cast<uint8_t>(64 + (r / 2 + 3 * i) % 128);
      }
    p->setColorAttachments(platform::ColorAttachments::bt709());
    pictures.push_back(std::move(p));
  }
  return pictures;
}

void BM_FullFrameCameraTick(benchmark::State& state) {
  const auto pictures = cameraPictures();
  Screen screen;
  screen.setDynamicRangeMode(state.range(0) ? DynamicRangeMode::hdr : DynamicRangeMode::sdr);
  screen.setSize({1920, 1080});
  screen.setBackgroundColor({0, 0, 0, 1});
  auto camera = std::make_shared<StreamScreenObject>();
  screen.addChild(camera);
  long tick = 0;
  for (auto _ : state) {
    const double t = 1.0 + tick / 30.0;
    platform::SampleTiming timing;
    timing.presentationTime = platform::MediaTime::fromSeconds(t, 1'000'000'000);
    camera->setSampleBuffer(platform::SampleBuffer::makeImage(pictures[tick % pictures.size()], timing));
    auto out = screen.makeSampleBuffer({t, t + 1 / 30.0});
    benchmark::DoNotOptimize(out);
    ++tick;
  }
  state.SetLabel(state.range(0) ? "hdr" : "sdr");
}
BENCHMARK(BM_FullFrameCameraTick)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
