#include <gtest/gtest.h>

#include "Logwell/LWFormatArgument.h"

namespace logwell {
namespace {

TEST(FormatForm, ConversionsThatMatchTheArgumentAreFilled) {
  EXPECT_EQ(formatMessage("%d frames", 3), "3 frames");
  EXPECT_EQ(formatMessage("%5d|", -42), "  -42|");
  EXPECT_EQ(formatMessage("%lld", static_cast<long long>(-9000000000)), "-9000000000");
  EXPECT_EQ(formatMessage("%x", 255), "ff");
  EXPECT_EQ(formatMessage("%.2f s", 1.005), "1.00 s");
  EXPECT_EQ(formatMessage("[%@]", std::string("obj")), "[obj]");
  EXPECT_EQ(formatMessage("%@ fps", 30), "30 fps");
  EXPECT_EQ(formatMessage("100%% %d", 5), "100% 5");
  EXPECT_EQ(formatMessage("no conversion", 5), "no conversion");
}

TEST(FormatForm, CallerTextNeverReachesPrintfUnchecked) {
  // Kinds that do not match are written literally instead of reading a wrong vararg.
  EXPECT_EQ(formatMessage("%s", 42), "%s");
  EXPECT_EQ(formatMessage("%d", "text"), "%d");
  EXPECT_EQ(formatMessage("%f", 3), "%f");
  // Only one argument exists: later conversions stay as they are.
  EXPECT_EQ(formatMessage("%d and %d and %s", 1), "1 and %d and %s");
  // %n would write through the argument; "*" would read another argument.
  EXPECT_EQ(formatMessage("a%nb", 1), "a%nb");
  EXPECT_EQ(formatMessage("%*d", 1), "%*d");
  // Positional forms are literal too.
  EXPECT_EQ(formatMessage("%1$d", 1), "%1$d");
  // A dangling "%" at the end.
  EXPECT_EQ(formatMessage("50%", 1), "50%");
  // A width that would allocate without bound is refused.
  EXPECT_EQ(formatMessage("%999999999d", 1), "%999999999d");
}

}  // namespace
}  // namespace logwell
