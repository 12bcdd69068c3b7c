// One compositor tick at 1280 x 720: a camera frame (1920 x 1080, aspect fit,
// rounded corners), a still picture and a caption. With QZ_SCREEN_BENCH_INPUTS
// set to a folder holding video.nv12 (1920 x 1080 frames) and logo.png, the
// same inputs as screen_compose_compare.sh hands ffmpeg's filter graph.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "Medley/Sources/Screen/ImageScreenObject.h"
#include "Medley/Sources/Screen/Screen.h"
#include "Medley/Sources/Screen/TextScreenObject.h"

namespace {

using namespace medley;

std::vector<platform::PixelBufferRef> cameraFrames() {
  std::vector<platform::PixelBufferRef> frames;
  const int w = 1920, h = 1080;
  const size_t frameBytes = static_cast<size_t>(w) * h * 3 / 2;
  std::vector<uint8_t> raw;
  if (const char* dir = std::getenv("QZ_SCREEN_BENCH_INPUTS")) {
    std::ifstream in(std::string(dir) + "/video.nv12", std::ios::binary);
    raw.assign(std::istreambuf_iterator<char>(in), {});
  }
  const size_t count = raw.size() >= frameBytes ? raw.size() / frameBytes : 8;
  for (size_t i = 0; i < count; ++i) {
    auto f = platform::PixelBuffer::make(w, h, platform::PixelFormat::nv12VideoRange);
    for (int p = 0; p < 2; ++p) {
      const auto plane = f->plane(p);
      const size_t rowBytes = p == 0 ? w : w;
      const size_t offset = i * frameBytes + (p == 0 ? 0 : static_cast<size_t>(w) * h);
      for (int r = 0; r < plane.height; ++r) {
        uint8_t* d = plane.data + r * plane.bytesPerRow;
        if (!raw.empty())
          std::memcpy(d, raw.data() + offset + r * rowBytes, rowBytes);
        else
          for (size_t x = 0; x < rowBytes; ++x) d[x] = static_cast<uint8_t>(p == 0 ? 16 + (x + r + i * 7) % 219 : 128 + (x % 32));
      }
    }
    frames.push_back(std::move(f));
  }
  return frames;
}

void addLogo(Screen& screen) {
  auto logo = std::make_shared<ImageScreenObject>("logo");
  logo->setSize({128, 128});
  logo->setHorizontalAlignment(ScreenObject::HorizontalAlignment::right);
  logo->setLayoutMargin({32, 0, 0, 32});
  if (const char* dir = std::getenv("QZ_SCREEN_BENCH_INPUTS")) {
    std::ifstream in(std::string(dir) + "/logo.png", std::ios::binary);
    const std::vector<uint8_t> png{std::istreambuf_iterator<char>(in), {}};
    logo->setSource("data:image/png;base64," + encodeBase64(png.data(), png.size()));
  } else {
    auto bgra = platform::PixelBuffer::make(256, 256, platform::PixelFormat::bgra);
    for (int y = 0; y < 256; ++y)
      for (int x = 0; x < 256; ++x) {
        uint8_t* p = bgra->plane(0).data + y * bgra->plane(0).bytesPerRow + 4 * x;
        p[0] = static_cast<uint8_t>(x), p[1] = static_cast<uint8_t>(y), p[2] = 200, p[3] = static_cast<uint8_t>((x + y) / 2);
      }
    logo->setImage(bgra);
  }
  screen.addChild(logo);
}

void BM_ScreenTick(benchmark::State& state) {
  const auto frames = cameraFrames();
  Screen screen;
  screen.setBackgroundColor({0x1a / 255.0, 0x26 / 255.0, 0x4c / 255.0, 1});
  auto video = screen.videoTrackScreenObject();
  video->setSize({960, 600});
  video->setVerticalAlignment(ScreenObject::VerticalAlignment::middle);
  video->setCornerRadius(24);
  addLogo(screen);
  auto caption = std::make_shared<TextScreenObject>("caption");
  caption->setElements({{"value", "Quarzadel live"}, {"fontSize", "56"}, {"color", "#FFFFD040"}});
  caption->setLayoutMargin({0, 48, 40, 0});
  caption->setVerticalAlignment(ScreenObject::VerticalAlignment::bottom);
  screen.addChild(caption);

  long tick = 0;
  for (auto _ : state) {
    const double t = 1.0 + tick / 30.0;
    platform::SampleTiming timing;
    timing.presentationTime = platform::MediaTime::fromSeconds(t, 1'000'000'000);
    video->queue()->enqueue(platform::SampleBuffer::makeImage(frames[tick % frames.size()], timing));
    video->invalidateLayout();
    auto out = screen.makeSampleBuffer({t, t + 1 / 30.0});
    benchmark::DoNotOptimize(out);
    ++tick;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ScreenTick)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
