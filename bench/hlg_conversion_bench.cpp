// The HDR compositor's last step, BT.709 8-bit to BT.2020 HLG 10-bit, and the
// way back that the previews take, on one 1920 x 1080 picture of varied colours.
#include <benchmark/benchmark.h>

#include "Medley/Sources/Codec/HLGConversion.h"

namespace {

platform::PixelBufferRef variedPicture() {
  auto p = platform::PixelBuffer::make(1920, 1080, platform::PixelFormat::nv12VideoRange);
  for (int plane = 0; plane < 2; ++plane) {
    const auto d = p->plane(plane);
    for (int r = 0; r < d.height; ++r)
      for (int x = 0; x < d.width * (plane + 1); ++x)
        d.data[r * d.bytesPerRow + x] = static_cast<uint8_t>(plane == 0 ? 16 + (x + r) % 219 : 16 + (x * 7 + r) % 224);
  }
  return p;
}

void BM_BT709ToHLG(benchmark::State& state) {
  const auto sdr = variedPicture();
  auto hdr = platform::PixelBuffer::make(1920, 1080, platform::PixelFormat::p010);
  for (auto _ : state) benchmark::DoNotOptimize(medley::convertBT709ToHLG(*sdr, *hdr));
}
BENCHMARK(BM_BT709ToHLG)->Unit(benchmark::kMillisecond);

void BM_HLGToBT709(benchmark::State& state) {
  const auto sdr = variedPicture();
  auto hdr = platform::PixelBuffer::make(1920, 1080, platform::PixelFormat::p010);
  medley::convertBT709ToHLG(*sdr, *hdr);
  for (auto _ : state) benchmark::DoNotOptimize(medley::convertHLGToBT709(*hdr));
}
BENCHMARK(BM_HLGToBT709)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
