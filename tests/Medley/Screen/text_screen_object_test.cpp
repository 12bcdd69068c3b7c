#include <gtest/gtest.h>

#include <limits>

#include "Medley/Sources/Screen/Screen.h"
#include "Medley/Sources/Screen/TextScreenObject.h"

namespace medley {
namespace {

using Elements = ScreenObject::Elements;

TEST(TextScreenObject, ElementsDefaultsAndColourText) {
  TextScreenObject t;
  EXPECT_EQ(t.elements(), (Elements{{"value", ""}, {"fontSize", "32.0"}, {"color", "#FFFFFFFF"}}));
  t.setElements({{"value", "Hi"}, {"color", "#80FF0000"}});
  const auto c = *t.attributes()->foregroundColor;
  EXPECT_DOUBLE_EQ(c.red, 1);
  EXPECT_DOUBLE_EQ(c.alpha, 128 / 255.0);
  EXPECT_EQ(t.elements().at("color"), "#80FF0000");

  t.setElements({{"value", "Hi"}, {"color", "FF00FF00"}, {"fontSize", "48"}});
  EXPECT_EQ(t.elements().at("color"), "#FF00FF00");
  EXPECT_EQ(t.elements().at("fontSize"), "48.0");
  for (const char* bad : {"#FFF", "#GG000000", "#FF0000001", "-1234567"}) {
    t.setElements({{"value", "Hi"}, {"color", bad}, {"fontSize", "big"}});
    EXPECT_EQ(t.elements().at("color"), "#FF00FF00") << bad;
    EXPECT_EQ(t.elements().at("fontSize"), "48.0");
  }
  EXPECT_TRUE(TextScreenObject::parseColorText("+0000000"));

  t.setAttributes(std::nullopt);
  EXPECT_EQ(t.elements().at("fontSize"), "32");
  t.setShouldInvalidateLayout(false);
  t.setElements({{"value", "Hi"}, {"fontSize", "20"}});
  EXPECT_TRUE(t.shouldInvalidateLayout()) << "a parsed size invalidates even without attributes";
  EXPECT_FALSE(t.attributes());
}

TEST(TextScreenObject, InvalidationRules) {
  TextScreenObject t;
  t.setString("a");
  t.setShouldInvalidateLayout(false);
  t.setString("a");
  EXPECT_FALSE(t.shouldInvalidateLayout());
  t.setAttributes(t.attributes());
  EXPECT_TRUE(t.shouldInvalidateLayout());
}

TEST(TextScreenObject, SizesToItsTextAndDrawsOnAClearedBitmap) {
  Screen screen;
  auto t = std::make_shared<TextScreenObject>();
  screen.addChild(t);
  screen.makeSampleBuffer({1, 1.016});
  EXPECT_EQ(t->bounds(), ScreenRect{}) << "empty text takes no room";
  EXPECT_FALSE(t->makeImage(screen.renderer()));

  t->setString("WWWW");
  t->setHorizontalAlignment(ScreenObject::HorizontalAlignment::right);
  screen.makeSampleBuffer({2, 2.016});
  const ScreenRect wide = t->bounds();
  EXPECT_GT(wide.width, 80);
  EXPECT_LT(wide.width, 200);
  EXPECT_GT(wide.height, 30);
  EXPECT_LT(wide.height, 50);
  EXPECT_DOUBLE_EQ(wide.x + wide.width, 1280);

  // Wrapped within the width the layout gives it.
  t->setString("one two three four five six seven eight nine ten");
  t->setSize({200, 0});
  screen.makeSampleBuffer({3, 3.016});
  EXPECT_LE(t->bounds().width, 200);
  EXPECT_GT(t->bounds().height, 3 * wide.height);

  // A text of the same size leaves no trace of the old one.
  t->setSize({0, 0});
  t->setString("||||");
  screen.makeSampleBuffer({4, 4.016});
  auto first = t->makeImage(screen.renderer())->render();
  t->setString("....");
  screen.makeSampleBuffer({5, 5.016});
  auto second = t->makeImage(screen.renderer())->render();
  ASSERT_TRUE(first && second && first->alpha && second->alpha);
  // Bars and dots are equally wide in the pinned font: the bitmap is drawn over, not made anew.
  ASSERT_EQ(first->width(), second->width());
  ASSERT_EQ(first->height(), second->height());
  int vertical = 0;
  const int midRow = second->height() / 4;
  for (int x = 0; x < second->width(); ++x) vertical += second->alpha->luma[midRow * second->width() + x] > 128;
  EXPECT_EQ(vertical, 0) << "no bar of the old text remains above the dots";
}

TEST(TextScreenObject, FontSizesTheTextEngineCannotTakeLeaveTheSizeUnchanged) {
  Screen screen;
  auto t = std::make_shared<TextScreenObject>();
  screen.addChild(t);
  t->setElements({{"value", "Live"}, {"fontSize", "40"}});
  screen.makeSampleBuffer({1, 1.016});
  const ScreenRect laidOut = t->bounds();
  for (const char* bad : {"inf", "-inf", "nan", "1e30", "-8", "4097"}) {
    t->setElements({{"value", "Live"}, {"fontSize", bad}});
    EXPECT_EQ(t->attributes()->fontSize, 40) << bad;
  }
  t->setAttributes(TextAttributes{std::numeric_limits<double>::quiet_NaN(), ScreenColor::white()});
  EXPECT_EQ(t->attributes()->fontSize, 40);
  screen.makeSampleBuffer({2, 2.016});
  EXPECT_EQ(t->bounds(), laidOut);
  t->setElements({{"value", "Live"}, {"fontSize", "4096"}});
  EXPECT_EQ(t->attributes()->fontSize, 4096) << "the largest size taken";
}

}  // namespace
}  // namespace medley
