#include <gtest/gtest.h>

#include "RTMPMedley/Sources/RTMP/AMF/AMFTypes.h"

using namespace rtmpmedley;

namespace {

TEST(AMFArrayTest, DecimalKeysAddressTheDensePartAndOtherKeysTheNamedPart) {
  AMFArray a;
  a.set("2", "v");
  a.set(int64_t{0}, 0);
  EXPECT_EQ(a.data, (AMFList{0, AMFUndefined{}, "v"}));
  EXPECT_EQ(a.get(int64_t{5}), AMFValue(AMFUndefined{}));  // reading past the end does not grow
  // Names, far and negative indices, and numbers beyond 64 bits are kept by name.
  for (const char* name : {"name", "1.5", "", "999999999999", "-1", "99999999999999999999"}) a.set(name, name);
  EXPECT_EQ(a.data.size(), 3u);
  EXPECT_EQ(a.dict.size(), 6u);
  EXPECT_EQ(a.get(int64_t{-1}), AMFValue("-1"));
}

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
