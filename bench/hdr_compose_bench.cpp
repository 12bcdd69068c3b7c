// One compositor tick at 1920 x 1080 with one BT.709 picture filling the frame,
// composed in standard and in high dynamic range (where the picture is
// converted up to HLG) in the same run: a camera's pictures, and a test
// pattern of every colour; and a camera giving HLG pictures in standard range
// (each converted down). Either a new picture each tick, or the tick that
// draws the last picture again without a new one (a camera slower than the
// frames, or a late frame), which should cost no more.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "Medley/Sources/Codec/HLGConversion.h"
#include "Medley/Sources/Screen/Screen.h"
#include "Medley/Sources/Screen/StreamScreenObject.h"

namespace {

using namespace medley;

uint8_t byte(double v) { return static_cast<uint8_t>(std::clamp(std::lround(v), 16L, 240L)); }

// What a camera gives: light and colour changing smoothly across the picture,
// with sensor noise on every sample; a little different in each picture.
platform::PixelBufferRef cameraPicture(int i) {
  auto p = platform::PixelBuffer::make(1920, 1080, platform::PixelFormat::nv12VideoRange);
  const auto y = p->plane(0), uv = p->plane(1);
  uint32_t seed = 12345u + static_cast<uint32_t>(i);
  auto noise = [&seed](double amplitude) {
    seed = seed * 1664525u + 1013904223u;
    return ((seed >> 8) / 16777216.0 - 0.5) * 2 * amplitude;
  };
  for (int r = 0; r < y.height; ++r)
    for (int x = 0; x < y.width; ++x)
      y.data[r * y.bytesPerRow + x] =
          byte(125 + 95 * std::sin(x / 300.0 + i * 0.1) * std::cos(r / 200.0) + noise(4));
  for (int r = 0; r < uv.height; ++r)
    for (int x = 0; x < uv.width; ++x) {
      uv.data[r * uv.bytesPerRow + 2 * x] = byte(128 + 40 * std::sin(x / 250.0 + r / 350.0 + i * 0.05) + noise(2));
      uv.data[r * uv.bytesPerRow + 2 * x + 1] = byte(128 + 40 * std::cos(x / 200.0 - r / 150.0) + noise(2));
    }
  p->setColorAttachments(platform::ColorAttachments::bt709());
  return p;
}

// Every colour pair in turn across the picture, the conversion's worst case.
platform::PixelBufferRef everyColourPicture(int i) {
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
  return p;
}

// A camera that gives HLG pictures: the camera's pictures, converted up.
platform::PixelBufferRef hlgCameraPicture(int i) {
  auto p = platform::PixelBuffer::make(1920, 1080, platform::PixelFormat::p010);
  convertBT709ToHLG(*cameraPicture(i), *p);
  return p;
}

// Arguments: the mode (0 standard, 1 high dynamic range), the pictures
// (0 a camera's, 1 every colour, 2 an HLG camera's), and which tick is timed
// (0 each with a new picture, 1 only those that draw the last picture again).
void BM_FullFrameCameraTick(benchmark::State& state) {
  std::vector<platform::PixelBufferRef> pictures;
  for (int i = 0; i < 8; ++i)
    pictures.push_back(state.range(1) == 2 ? hlgCameraPicture(i)
                       : state.range(1)    ? everyColourPicture(i)
                                           : cameraPicture(i));
  Screen screen;
  screen.setDynamicRangeMode(state.range(0) ? DynamicRangeMode::hdr : DynamicRangeMode::sdr);
  screen.setSize({1920, 1080});
  screen.setBackgroundColor({0, 0, 0, 1});
  auto camera = std::make_shared<StreamScreenObject>();
  screen.addChild(camera);
  const bool repeats = state.range(2) != 0;
  long tick = 0, picture = 0;
  const auto makeFrame = [&] {
    const double t = 1.0 + tick++ / 30.0;
    auto out = screen.makeSampleBuffer({t, t + 1 / 30.0});
    benchmark::DoNotOptimize(out);
  };
  const auto showNextPicture = [&] {
    platform::SampleTiming timing;
    timing.presentationTime = platform::MediaTime::fromSeconds(1.0 + tick / 30.0, 1'000'000'000);
    camera->setSampleBuffer(platform::SampleBuffer::makeImage(pictures[picture++ % pictures.size()], timing));
  };
  for (auto _ : state) {
    if (repeats) {
      // A new picture's tick, untimed; then the tick that draws it again.
      state.PauseTiming();
      showNextPicture();
      makeFrame();
      state.ResumeTiming();
    } else {
      showNextPicture();
    }
    makeFrame();
  }
  const char* pictureNames[] = {", camera", ", every colour", ", HLG camera"};
  state.SetLabel(std::string(state.range(0) ? "hdr" : "sdr") + pictureNames[state.range(1)] +
                 (repeats ? ", drawn again" : ", new picture"));
}
BENCHMARK(BM_FullFrameCameraTick)->ArgsProduct({{0, 1}, {0, 1}, {0, 1}})->Unit(benchmark::kMillisecond);
// Standard range from HLG pictures, converted down each tick.
BENCHMARK(BM_FullFrameCameraTick)->ArgsProduct({{0}, {2}, {0, 1}})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
