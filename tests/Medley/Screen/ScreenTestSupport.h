#pragma once
// Pictures and frames for the compositor's tests.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "Medley/Sources/Screen/ScreenPicture.h"
#include "Medley/Sources/Screen/VideoEffect.h"
#include "Platform/Media/PixelBuffer.h"
#include "Platform/Media/SampleBuffer.h"

namespace medley::testing {

// A 420v picture of one colour (luma, cb, cr).
inline platform::PixelBufferRef solidPicture(int w, int h, uint8_t y, uint8_t cb = 128, uint8_t cr = 128) {
  auto p = platform::PixelBuffer::make(w, h, platform::PixelFormat::nv12VideoRange);
  const auto py = p->plane(0), puv = p->plane(1);
  for (int r = 0; r < py.height; ++r) std::memset(py.data + r * py.bytesPerRow, y, py.width);
  for (int r = 0; r < puv.height; ++r)
    for (int i = 0; i < puv.width; ++i) puv.data[r * puv.bytesPerRow + 2 * i] = cb, puv.data[r * puv.bytesPerRow + 2 * i + 1] = cr;
  return p;
}

inline platform::SampleBufferRef frameAt(double seconds, int w = 1920, int h = 1080, uint8_t y = 200) {
  platform::SampleTiming t;
  t.presentationTime = platform::MediaTime::fromSeconds(seconds, 1'000'000'000);
  t.duration = platform::MediaTime::fromSeconds(1.0 / 30, 1'000'000'000);
  return platform::SampleBuffer::makeImage(solidPicture(w, h, y), t);
}

inline uint8_t lumaAt(const platform::PixelBuffer& b, int x, int y) {
  return b.plane(0).data[static_cast<size_t>(y) * b.plane(0).bytesPerRow + x];
}

// Left half bright, right half dark: shows placement and mirroring at once.
inline platform::SampleBufferRef halves(int w, int h) {
  auto p = solidPicture(w, h, 235);
  for (int y = 0; y < h; ++y)
    for (int x = w / 2; x < w; ++x) p->plane(0).data[y * p->plane(0).bytesPerRow + x] = 60;
  platform::SampleTiming t;
  t.presentationTime = platform::MediaTime::zero();
  return platform::SampleBuffer::makeImage(p, t);
}

// Grey level (green) of a BGRA pixel.
inline int grey(const platform::PixelBuffer& b, int x, int y) {
  return b.plane(0).data[y * b.plane(0).bytesPerRow + 4 * x + 1];
}

// An effect that notes its name in a shared log and the extent it was given,
// then hands back `change` of its picture.
class RecordingEffect final : public VideoEffect {
 public:
  RecordingEffect(std::string name, std::vector<std::string>& log, std::function<ScreenImage(const ScreenImage&)> change)
      : name_(std::move(name)), log_(log), change_(std::move(change)) {}
  ScreenImage apply(const ScreenImage& image) override {
    log_.push_back(name_);
    seen = image.extent();
    return change_(image);
  }
  ScreenRect seen;

 private:
  std::string name_;
  std::vector<std::string>& log_;
  std::function<ScreenImage(const ScreenImage&)> change_;
};

}  // namespace medley::testing
