#include <gtest/gtest.h>

#include <cmath>

#include "Platform/Media/FittedRect.h"

namespace platform {
namespace {

// Whole pixels are covered by the Letterbox tests; fractional units keep both sides exact.
TEST(FittedRectTest, FractionalUnitsFillOneSideExactlyAndCentreTheOther) {
  const auto wide = FittedRect<double>::of(1920, 1080, 1000, 300);
  EXPECT_EQ(wide.height, 300);
  EXPECT_DOUBLE_EQ(wide.width, 1600.0 / 3);
  EXPECT_DOUBLE_EQ(wide.x, (1000 - 1600.0 / 3) / 2);
  EXPECT_EQ(wide.y, 0);
  EXPECT_EQ(FittedRect<double>::of(320, 180, 400, 400), (FittedRect<double>{0, 87.5, 400, 225}));
  EXPECT_EQ(FittedRect<double>::of(0.5, 0.25, 100.5, 50.25), (FittedRect<double>{0, 0, 100.5, 50.25}));
  EXPECT_EQ(FittedRect<double>::of(1, 1000000, 10, 10).width, 1e-5) << "no whole-pixel floor";
}

TEST(FittedRectTest, UnreadableSizesGiveAnEmptyRectangle) {
  EXPECT_EQ(FittedRect<double>::of(NAN, 1080, 1000, 300), FittedRect<double>{});
  EXPECT_EQ(FittedRect<double>::of(1920, 1080, 1000, NAN), FittedRect<double>{});
  EXPECT_EQ(FittedRect<double>::of(1920, 1080, 0, 300), FittedRect<double>{});
}

}  // namespace
}  // namespace platform
