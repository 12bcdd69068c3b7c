#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <new>

#include "Medley/Screen/ScreenTestSupport.h"
#include "Medley/Sources/Screen/ImageScreenObject.h"
#include "Medley/Sources/Screen/Screen.h"

namespace medley {
namespace {

// A still picture: left half white, right half black, opaque.
platform::PixelBufferRef halvesPicture(int w, int h) {
  auto bgra = platform::PixelBuffer::make(w, h, platform::PixelFormat::bgra);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = bgra->plane(0).data + y * bgra->plane(0).bytesPerRow + 4 * x;
      p[0] = p[1] = p[2] = x < w / 2 ? 255 : 0, p[3] = 255;
    }
  return bgra;
}

const ScreenRendererByCPU& cpu(const Screen& s) { return static_cast<const ScreenRendererByCPU&>(s.renderer()); }

TEST(OversizedObject, OnlyWhatTheFrameShowsIsMade) {
  Screen screen;
  auto image = std::make_shared<ImageScreenObject>();
  image->setImage(halvesPicture(64, 64));
  image->setSize({40000, 40000});
  image->setCornerRadius(400);
  screen.addChild(image);
  platform::SampleBufferRef frame;
  ASSERT_NO_THROW(frame = screen.makeSampleBuffer({1, 1.016}));
  ASSERT_TRUE(frame);
  const auto kept = cpu(screen).picture(*image);
  ASSERT_TRUE(kept);
  EXPECT_LE(kept->width(), 1280);
  EXPECT_LE(kept->height(), 720);
  const auto& b = *frame->imageBuffer();
  EXPECT_EQ(testing::lumaAt(b, 640, 360), 235) << "the picture's white left half covers the frame";
  EXPECT_EQ(testing::lumaAt(b, 1, 1), 16) << "the rounded corner is cut out";

  // Moved so that its middle is in the frame (the split at x 640): both halves
  // show, each source sample 625 wide.
  image->setLayoutMargin({-19700, -19360, 0, 0});
  image->setCornerRadius(0);
  image->invalidateLayout();
  frame = screen.makeSampleBuffer({2, 2.016});
  EXPECT_EQ(testing::lumaAt(*frame->imageBuffer(), 200, 360), 235);
  EXPECT_EQ(testing::lumaAt(*frame->imageBuffer(), 1100, 360), 16);
  EXPECT_NEAR(testing::lumaAt(*frame->imageBuffer(), 640, 360), (235 + 16) / 2, 4) << "the blend is centred";
  EXPECT_LE(cpu(screen).picture(*image)->width(), 1280);

  // Entirely outside the frame: nothing is made.
  image->setLayoutMargin({0, 2000, 0, 0});
  image->invalidateLayout();
  screen.makeSampleBuffer({3, 3.016});
  EXPECT_FALSE(cpu(screen).picture(*image));
}

class ThrowingObject final : public ScreenObject {
 public:
  std::optional<ScreenImage> makeImage(ScreenRenderer&) override { throw std::bad_alloc(); }
};

TEST(OversizedObject, AnObjectThatFailsLeavesTheFrameWithoutIt) {
  Screen screen;
  auto image = std::make_shared<ImageScreenObject>();
  image->setImage(halvesPicture(64, 64));
  image->setSize({640, 360});
  screen.addChild(image);
  auto failing = std::make_shared<ThrowingObject>();
  failing->setSize({100, 100});
  screen.addChild(failing);
  platform::SampleBufferRef frame;
  ASSERT_NO_THROW(frame = screen.makeSampleBuffer({1, 1.016}));
  ASSERT_TRUE(frame);
  EXPECT_GT(testing::lumaAt(*frame->imageBuffer(), 10, 10), 200) << "the other objects are drawn";
  EXPECT_TRUE(screen.makeSampleBuffer({2, 2.016})) << "the next tick still composes";
}

TEST(OversizedObject, SizesNoBufferCanHaveAreRefused) {
  Screen screen;
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  for (const ScreenSize bad : {ScreenSize{nan, 720}, ScreenSize{1280, inf}, ScreenSize{1e300, 1e300},
                               ScreenSize{-1280, 720}, ScreenSize{0, 0}, ScreenSize{40000, 40000}}) {
    screen.setSize(bad);
    EXPECT_EQ(screen.size(), (ScreenSize{1280, 720}));
  }
  auto frame = screen.makeSampleBuffer({1, 1.016});
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->imageBuffer()->width(), 1280);
  screen.setSize({640.9, 360.2});
  EXPECT_EQ(screen.makeSampleBuffer({2, 2.016})->imageBuffer()->width(), 640);
}

}  // namespace
}  // namespace medley
