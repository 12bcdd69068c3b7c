// The device names' order follows the collation locale (LC_COLLATE), not the
// locale of messages that the collation library would take by itself.
#include <gtest/gtest.h>

#include <clocale>

#include "Platform/Files/ScopedEnv.h"
#include "Quarzadel/Capture/DeviceNameOrder.h"

namespace quarzadel {
namespace {

TEST(DeviceNameOrder, TheCollationLocaleIsLcAllThenLcCollateThenLang) {
  // The process chose no collation of its own (the tests run in the C locale).
  ASSERT_STREQ(std::setlocale(LC_COLLATE, nullptr), "C");
  platform::testing::ScopedEnv env;
  env.unset("LC_ALL");
  env.set("LANG", "en_US.UTF-8");
  env.set("LC_MESSAGES", "en_US.UTF-8");
  env.set("LC_COLLATE", "sv_SE.UTF-8");
  EXPECT_EQ(deviceNameCollationLocale(), "sv_SE");
  env.set("LC_COLLATE", "sv_SE.UTF-8@euro");
  EXPECT_EQ(deviceNameCollationLocale(), "sv_SE");
  env.unset("LC_COLLATE");
  EXPECT_EQ(deviceNameCollationLocale(), "en_US");
  env.set("LC_COLLATE", "");
  EXPECT_EQ(deviceNameCollationLocale(), "en_US") << "an empty variable counts as unset";
  env.set("LC_ALL", "de_DE.UTF-8");
  env.set("LC_COLLATE", "sv_SE.UTF-8");
  EXPECT_EQ(deviceNameCollationLocale(), "de_DE");
  // C and POSIX collate by code point in the library: names get the root collation.
  for (const char* plain : {"C", "POSIX", "C.UTF-8"}) {
    env.set("LC_ALL", plain);
    EXPECT_EQ(deviceNameCollationLocale(), "") << plain;
  }
  env.unset("LC_ALL");
  env.unset("LC_COLLATE");
  env.unset("LANG");
  EXPECT_EQ(deviceNameCollationLocale(), "");
}

TEST(DeviceNameOrder, SwedishCollationPutsTheUmlautAfterZ) {
  EXPECT_LT(compareDeviceNames("Zeta", "Ärlig", "sv_SE"), 0);
  EXPECT_LT(compareDeviceNames("Ärlig", "Zeta", "en_US"), 0);
  EXPECT_LT(compareDeviceNames("Ärlig", "Zeta", ""), 0);
  // Whatever the locale: case does not count, digits by value.
  for (const std::string locale : {"sv_SE", "en_US", ""}) {
    EXPECT_EQ(compareDeviceNames("ärlig", "Ärlig", locale), 0) << locale;
    EXPECT_LT(compareDeviceNames("Camera 2", "camera 10", locale), 0) << locale;
  }
  // An unknown locale falls back to the root collation rather than bytes.
  EXPECT_LT(compareDeviceNames("Élan", "Zeta", "xx_YY"), 0);
  // Invalid UTF-8 still orders, one way only.
  const std::string_view invalid("\xff", 1);
  EXPECT_NE(compareDeviceNames(invalid, "a", "sv_SE"), 0);
  EXPECT_EQ(compareDeviceNames(invalid, "a", "sv_SE"), -compareDeviceNames("a", invalid, "sv_SE"));
}

}  // namespace
}  // namespace quarzadel
