#include <gtest/gtest.h>

#include "RTMPMedley/Sources/RTMP/AMF/AMFTypes.h"

using namespace rtmpmedley;

namespace {

TEST(AMFValueTest, CopiesShareContentsYetBehaveAsValues) {
  const AMFValue original(AMFObject{{"list", AMFList{1.0, "two"}}, {"name", "first"}});
  AMFValue copy = original;
  EXPECT_EQ(copy.object(), original.object());  // a copy costs no deep copy
  copy.get<AMFObject>()->at("list").get<AMFList>()->push_back(3.0);
  EXPECT_EQ(original.object()->at("list"), AMFValue(AMFList{1.0, "two"}));
  EXPECT_EQ(copy.object()->at("list"), AMFValue(AMFList{1.0, "two", 3.0}));
  EXPECT_NE(AMFValue(AMFList{}), AMFValue(AMFArray()));
  EXPECT_NE(AMFValue("1"), AMFValue(1));
}

}  // namespace
