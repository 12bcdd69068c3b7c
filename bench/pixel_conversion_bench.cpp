// BGRA to BT.709 NV12 at 1080p, as a shared screen arrives: through the
// program renderer's plane operation, and through the video encoder's picture
// converter (same size, so conversion only).
#include <benchmark/benchmark.h>

#include <cstdint>

#include "Medley/Sources/Codec/VideoPictureConverter.h"
#include "Platform/Media/PixelBuffer.h"
#include "Quarzadel/Program/NV12Frame.h"
#include "Quarzadel/Program/NV12Ops.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

platform::PixelBufferRef screenPicture() {
  auto picture = platform::PixelBuffer::make(kWidth, kHeight, platform::PixelFormat::bgra);
  const auto plane = picture->plane(0);
  for (int row = 0; row < kHeight; ++row) {
    uint8_t* p = plane.data + static_cast<ptrdiff_t>(row) * plane.bytesPerRow;
    for (int x = 0; x < kWidth; ++x) {
      p[4 * x] = static_cast<uint8_t>(x * 7 + row);
      p[4 * x + 1] = static_cast<uint8_t>(x ^ row);
      p[4 * x + 2] = static_cast<uint8_t>(row * 3 - x);
      p[4 * x + 3] = 255;
    }
  }
  return picture;
}

void BM_RendererBGRAToNV12(benchmark::State& state) {
  const auto source = screenPicture();
  auto target = platform::PixelBuffer::make(kWidth, kHeight, platform::PixelFormat::nv12VideoRange);
  const auto dst = quarzadel::NV12Frame::of(*target);
  const auto plane = source->plane(0);
  for (auto _ : state) {
    quarzadel::nv12::convertBGRA(plane.data, static_cast<int>(plane.bytesPerRow), kWidth, kHeight, dst);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_RendererBGRAToNV12)->Unit(benchmark::kMillisecond);

void BM_EncoderPictureBGRAToNV12(benchmark::State& state) {
  const auto source = screenPicture();
  medley::VideoPictureConverter converter(kWidth, kHeight, false, medley::VideoPictureConverter::ScalingMode::trim);
  for (auto _ : state) {
    auto out = converter.convert(source);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_EncoderPictureBGRAToNV12)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
