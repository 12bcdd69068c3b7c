#include <gtest/gtest.h>

#include <cmath>

#include "Platform/Media/AspectFit.h"

namespace platform {
namespace {

// Whole pixels are covered by the Letterbox tests; fractional units keep both sides exact.
TEST(AspectFitTest, FractionalUnitsFillOneSideExactlyAndCentreTheOther) {
  const auto wide = AspectFit<double>::of(1920, 1080, 1000, 300);
  EXPECT_EQ(wide.height, 300);
  EXPECT_DOUBLE_EQ(wide.width, 1600.0 / 3);
  EXPECT_DOUBLE_EQ(wide.x, (1000 - 1600.0 / 3) / 2);
  EXPECT_EQ(wide.y, 0);
  EXPECT_EQ(AspectFit<double>::of(320, 180, 400, 400), (AspectFit<double>{0, 87.5, 400, 225}));
  EXPECT_EQ(AspectFit<double>::of(0.5, 0.25, 100.5, 50.25), (AspectFit<double>{0, 0, 100.5, 50.25}));
  EXPECT_EQ(AspectFit<double>::of(1, 1000000, 10, 10).width, 1e-5) << "no whole-pixel floor";
}

TEST(AspectFitTest, UnreadableSizesGiveAnEmptyRectangle) {
  EXPECT_EQ(AspectFit<double>::of(NAN, 1080, 1000, 300), AspectFit<double>{});
  EXPECT_EQ(AspectFit<double>::of(1920, 1080, 1000, NAN), AspectFit<double>{});
  EXPECT_EQ(AspectFit<double>::of(1920, 1080, 0, 300), AspectFit<double>{});
}

}  // namespace
}  // namespace platform
