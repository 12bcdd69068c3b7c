#include <gtest/gtest.h>

#include "Platform/Capture/AspectFit.h"

namespace platform {
namespace {

TEST(AspectFitTest, APictureOfOtherProportionsFillsOneSideBetweenBarsOnTheOther) {
  // A 320x240 window widened to 640x240 inside the 320x240 frame fixed when sharing began.
  EXPECT_EQ(AspectFit::of(640, 240, 320, 240), (AspectFit{0, 60, 320, 120}));
  EXPECT_EQ(AspectFit::of(1920, 1080, 1280, 1024), (AspectFit{0, 152, 1280, 720}));
  EXPECT_EQ(AspectFit::of(320, 480, 320, 240), (AspectFit{80, 0, 160, 240}));
  EXPECT_EQ(AspectFit::of(1080, 1920, 1920, 1080), (AspectFit{656, 0, 608, 1080}));
}

TEST(AspectFitTest, SameProportionsFillTheFrameAndExtremesKeepAPixel) {
  EXPECT_EQ(AspectFit::of(640, 480, 320, 240), (AspectFit{0, 0, 320, 240}));
  EXPECT_EQ(AspectFit::of(160, 120, 320, 240), (AspectFit{0, 0, 320, 240})) << "a smaller picture is enlarged to fit";
  EXPECT_EQ(AspectFit::of(100000, 1, 320, 240), (AspectFit{0, 119, 320, 1}));
  // Products beyond 32 bits do not wrap.
  EXPECT_EQ(AspectFit::of(65536, 65536, 65536, 32768), (AspectFit{16384, 0, 32768, 32768}));
  EXPECT_EQ(AspectFit::of(0, 240, 320, 240), AspectFit{});
  EXPECT_EQ(AspectFit::of(320, 240, 320, -1), AspectFit{});
}

}  // namespace
}  // namespace platform
