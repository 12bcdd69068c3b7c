#include <gtest/gtest.h>

#include "Platform/Capture/Letterbox.h"

namespace platform {
namespace {

TEST(LetterboxTest, APictureOfOtherProportionsFillsOneSideBetweenBarsOnTheOther) {
  // A 320x240 window widened to 640x240 inside the 320x240 frame fixed when sharing began.
  EXPECT_EQ(Letterbox::of(640, 240, 320, 240), (Letterbox{0, 60, 320, 120}));
  EXPECT_EQ(Letterbox::of(1920, 1080, 1280, 1024), (Letterbox{0, 152, 1280, 720}));
  EXPECT_EQ(Letterbox::of(320, 480, 320, 240), (Letterbox{80, 0, 160, 240}));
  EXPECT_EQ(Letterbox::of(1080, 1920, 1920, 1080), (Letterbox{656, 0, 608, 1080}));
}

TEST(LetterboxTest, SameProportionsFillTheFrameAndExtremesKeepAPixel) {
  EXPECT_EQ(Letterbox::of(640, 480, 320, 240), (Letterbox{0, 0, 320, 240}));
  EXPECT_EQ(Letterbox::of(160, 120, 320, 240), (Letterbox{0, 0, 320, 240})) << "a smaller picture is enlarged to fit";
  EXPECT_EQ(Letterbox::of(100000, 1, 320, 240), (Letterbox{0, 119, 320, 1}));
  // Products beyond 32 bits do not wrap.
  EXPECT_EQ(Letterbox::of(65536, 65536, 65536, 32768), (Letterbox{16384, 0, 32768, 32768}));
  EXPECT_EQ(Letterbox::of(0, 240, 320, 240), Letterbox{});
  EXPECT_EQ(Letterbox::of(320, 240, 320, -1), Letterbox{});
}

}  // namespace
}  // namespace platform
