#include <gtest/gtest.h>

#include "Medley/Screen/ScreenTestSupport.h"
#include "Medley/Sources/Mixer/MediaMixer.h"
#include "Medley/Sources/Screen/MTMDView.h"
#include "Medley/Sources/Screen/PiPMDView.h"
#include "Medley/Sources/Screen/Screen.h"
#include "Medley/Sources/Screen/StreamScreenObject.h"
#include "Platform/Dispatch/VirtualRuntime.h"

namespace medley {
namespace {

// A P010 picture of one colour, given as 10-bit codes.
platform::PixelBufferRef tenBitPicture(int w, int h, uint16_t y, uint16_t cb, uint16_t cr) {
  auto p = platform::PixelBuffer::make(w, h, platform::PixelFormat::p010);
  const auto py = p->plane(0), puv = p->plane(1);
  for (int r = 0; r < py.height; ++r)
    for (int x = 0; x < py.width; ++x) reinterpret_cast<uint16_t*>(py.data + r * py.bytesPerRow)[x] = y << 6;
  for (int r = 0; r < puv.height; ++r)
    for (int x = 0; x < puv.width; ++x) {
      auto* row = reinterpret_cast<uint16_t*>(puv.data + r * puv.bytesPerRow);
      row[2 * x] = cb << 6, row[2 * x + 1] = cr << 6;
    }
  return p;
}

platform::PixelBufferRef fullRangePicture(int w, int h, uint8_t y) {
  auto p = testing::solidPicture(w, h, y);
  auto full = platform::PixelBuffer::make(w, h, platform::PixelFormat::nv12FullRange);
  for (int plane = 0; plane < 2; ++plane)
    std::memcpy(full->plane(plane).data, p->plane(plane).data, p->plane(plane).byteSize());
  return full;
}

platform::SampleBufferRef sampleOf(platform::PixelBufferRef picture, double seconds = 0) {
  platform::SampleTiming t;
  t.presentationTime = platform::MediaTime::fromSeconds(seconds, 1'000'000'000);
  return platform::SampleBuffer::makeImage(std::move(picture), t);
}

// A mixer frame of a white stream picture, composed in the given mode.
platform::SampleBufferRef whiteMixerFrame(DynamicRangeMode mode) {
  Screen screen;
  screen.setDynamicRangeMode(mode);
  auto stream = std::make_shared<StreamScreenObject>();
  stream->setSampleBuffer(sampleOf(testing::solidPicture(1280, 720, 235)));
  screen.addChild(stream);
  return screen.makeSampleBuffer({1, 1.016});
}

// What each preview view shows in its middle for a frame.
struct Shown {
  int metal, layer;
};
Shown preview(const platform::SampleBufferRef& frame) {
  auto runtime = platform::VirtualRuntime::make();
  auto mixer = std::make_shared<MediaMixer>(MediaMixer::CaptureSessionMode::manual, false, runtime);
  auto metal = MTMDView::make(PreviewSurface::makeOffscreen(320, 180), runtime);
  auto layer = PiPMDView::make(PreviewSurface::makeOffscreen(320, 180), runtime);
  runtime->runUntilIdle();
  metal->mixer(*mixer, frame);
  layer->mixer(*mixer, frame);
  runtime->runUntilIdle();
  return {testing::grey(*metal->surface()->lastPresented(), 160, 90),
          testing::grey(*layer->layer()->surface()->lastPresented(), 160, 90)};
}

TEST(TenBitPictures, LookLikeTheirEightBitCounterparts) {
  // An HDR mixer frame previews as its SDR counterpart in both views.
  const auto hdr = whiteMixerFrame(DynamicRangeMode::hdr);
  const auto sdr = whiteMixerFrame(DynamicRangeMode::sdr);
  ASSERT_TRUE(hdr && sdr);
  ASSERT_EQ(hdr->imageBuffer()->format(), platform::PixelFormat::p010);
  const Shown fromHDR = preview(hdr), fromSDR = preview(sdr);
  EXPECT_GT(fromSDR.metal, 250);
  EXPECT_NEAR(fromHDR.metal, fromSDR.metal, 2);
  EXPECT_NEAR(fromHDR.layer, fromSDR.layer, 2);
  // A full-range dark grey is not crushed to black.
  EXPECT_NEAR(preview(sampleOf(fullRangePicture(64, 36, 16))).metal, 16, 3);

  // A 10-bit stream frame keeps its picture in the compositor: white, and a mid grey.
  Screen screen;
  auto stream = std::make_shared<StreamScreenObject>();
  screen.addChild(stream);
  stream->setSampleBuffer(sampleOf(tenBitPicture(640, 360, 940, 512, 512)));
  auto composed = screen.makeSampleBuffer({1, 1.016});
  EXPECT_NEAR(testing::lumaAt(*composed->imageBuffer(), 640, 360), 235, 1);
  stream->setSampleBuffer(sampleOf(tenBitPicture(640, 360, 502, 512, 512)));
  composed = screen.makeSampleBuffer({2, 2.016});
  EXPECT_NEAR(testing::lumaAt(*composed->imageBuffer(), 640, 360), 125, 1);
  const auto chroma = composed->imageBuffer()->plane(1);
  EXPECT_NEAR(chroma.data[180 * chroma.bytesPerRow + 640], 128, 1);
}

}  // namespace
}  // namespace medley
