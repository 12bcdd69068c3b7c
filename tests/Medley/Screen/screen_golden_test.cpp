#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include <libyuv/convert_argb.h>

#include "Medley/Sources/Screen/ImageSource.h"
#include "Medley/Sources/Screen/Screen.h"
#include "Medley/Sources/Screen/TextScreenObject.h"
#include "TestPaths.h"

namespace medley {
namespace {

// Colour bars with a diagonal ramp: edges and gradients that show scaling and masking faults.
platform::PixelBufferRef pattern(int w, int h) {
  auto p = platform::PixelBuffer::make(w, h, platform::PixelFormat::nv12VideoRange);
  static const uint8_t bars[8][3] = {{235, 128, 128}, {219, 16, 138}, {188, 154, 16}, {173, 42, 26},
                                     {78, 214, 230},  {63, 102, 240}, {32, 240, 118}, {16, 128, 128}};
  const auto y = p->plane(0), uv = p->plane(1);
  for (int r = 0; r < h; ++r)
    for (int x = 0; x < w; ++x) {
      const int bar = x * 8 / w;
      y.data[r * y.bytesPerRow + x] =
          r < h * 3 / 4 ? bars[bar][0] : static_cast<uint8_t>(16 + (x + r) * 219 / (w + h));
    }
  for (int r = 0; r < uv.height; ++r)
    for (int c = 0; c < uv.width; ++c) {
      const int bar = 2 * c * 8 / w;
      const bool ramp = 2 * r >= h * 3 / 4;
      uv.data[r * uv.bytesPerRow + 2 * c] = ramp ? 128 : bars[bar][1];
      uv.data[r * uv.bytesPerRow + 2 * c + 1] = ramp ? 128 : bars[bar][2];
    }
  return p;
}

std::vector<uint8_t> toBGRA(const platform::PixelBuffer& f) {
  std::vector<uint8_t> out(static_cast<size_t>(f.width()) * f.height() * 4);
  libyuv::NV12ToARGBMatrix(f.plane(0).data, static_cast<int>(f.plane(0).bytesPerRow), f.plane(1).data,
                           static_cast<int>(f.plane(1).bytesPerRow), out.data(), f.width() * 4, &libyuv::kYuvH709Constants,
                           f.width(), f.height());
  return out;
}

double psnr(const std::vector<uint8_t>& a, const platform::PixelBuffer& b) {
  double sum = 0;
  size_t n = 0;
  for (int y = 0; y < b.height(); ++y)
    for (int x = 0; x < b.width(); ++x)
      for (int k = 0; k < 3; ++k) {
        const double d = a[(static_cast<size_t>(y) * b.width() + x) * 4 + k] - b.plane(0).data[y * b.plane(0).bytesPerRow + 4 * x + k];
        sum += d * d;
        ++n;
      }
  const double mse = sum / n;
  return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

TEST(ScreenGolden, VideoWithRoundedCornersAndACaption) {
  Screen screen;
  screen.setBackgroundColor({0.1, 0.15, 0.3, 1});
  auto video = screen.videoTrackScreenObject();
  video->setSize({960, 600});
  video->setVerticalAlignment(ScreenObject::VerticalAlignment::middle);
  video->setCornerRadius(36);
  platform::SampleTiming timing;
  timing.presentationTime = platform::MediaTime::fromSeconds(0.9, 1000);
  video->queue()->enqueue(platform::SampleBuffer::makeImage(pattern(1920, 1080), timing));
  auto caption = std::make_shared<TextScreenObject>("caption");
  caption->setElements({{"value", "Quarzadel live"}, {"fontSize", "56"}, {"color", "#FFFFD040"}});
  caption->setLayoutMargin({0, 48, 40, 0});
  caption->setVerticalAlignment(ScreenObject::VerticalAlignment::bottom);
  screen.addChild(caption);

  auto frame = screen.makeSampleBuffer({1.0, 1.0167});
  ASSERT_TRUE(frame);
  EXPECT_EQ(video->bounds(), (ScreenRect{160, 90, 960, 540}));
  const auto bgra = toBGRA(*frame->imageBuffer());

  const std::string golden = qztest::sourceDir() + "/tests/Medley/Screen/golden/screen_video_text.png";
  if (std::getenv("QZ_UPDATE_GOLDEN")) {
    const std::string raw = ::testing::TempDir() + "golden.bgra";
    std::ofstream(raw, std::ios::binary).write(reinterpret_cast<const char*>(bgra.data()), bgra.size());
    const std::string cmd = "ffmpeg -v error -y -f rawvideo -pix_fmt bgra -s 1280x720 -i " + raw +
                            " -frames:v 1 -pix_fmt rgb24 " + golden;
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
  std::ifstream in(golden, std::ios::binary);
  const std::vector<uint8_t> png{std::istreambuf_iterator<char>(in), {}};
  ASSERT_FALSE(png.empty()) << "run with QZ_UPDATE_GOLDEN=1 to write " << golden;
  const auto expected = decodePicture(png);
  ASSERT_EQ(expected->width(), 1280);
  ASSERT_EQ(expected->height(), 720);
  EXPECT_GT(psnr(bgra, *expected), 40.0);
}

}  // namespace
}  // namespace medley
