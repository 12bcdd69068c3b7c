#include <gtest/gtest.h>

#include "RTMPMedley/Sources/RTMP/AMF/AMFTypes.h"

using namespace rtmpmedley;

namespace {

TEST(AMFArrayTest, DecimalKeysAddressTheDensePartAndOtherKeysTheNamedPart) {
  AMFArray a;
  a.set("2", "v");
  a.set("+1", 1);
  a.set(int64_t{0}, 0);
  EXPECT_EQ(a.data, (AMFList{0, 1, "v"}));
  EXPECT_EQ(a.get(int64_t{5}), AMFValue(AMFUndefined{}));  // reading past the end does not grow
  EXPECT_EQ(a.data.size(), 3u);
  a.set("007", 7);
  EXPECT_EQ(a.get(int64_t{7}), AMFValue(7));
  EXPECT_EQ(a.data.size(), 8u);
  for (const char* name : {"name", "1.5", ""}) a.set(name, name);
  EXPECT_EQ(a.dict.size(), 3u);
  EXPECT_EQ(a.get("1.5"), AMFValue("1.5"));
  EXPECT_TRUE(a.get("missing").isNull());
  a.set(AMFValue(true), 1);  // keys of other kinds neither read nor write
  EXPECT_TRUE(a.get(AMFValue(1.0)).isNull());
  EXPECT_EQ(a.dict.size(), 3u);

  // Far and negative indices are kept by name.
  AMFArray b;
  b.set(int64_t{AMFArray::kMaxDenseGap - 1}, "edge");
  b.set("999999999999", "far");
  b.set(int64_t{-1}, "negative");
  b.set("99999999999999999999", 1);  // beyond 64 bits: just a name
  EXPECT_EQ(b.data.size(), static_cast<size_t>(AMFArray::kMaxDenseGap));
  EXPECT_EQ(b.get(int64_t{999999999999}), AMFValue("far"));
  EXPECT_EQ(b.get("-1"), AMFValue("negative"));
  EXPECT_EQ(b.dict.size(), 3u);
}

TEST(AMFValueTest, CopiesShareContentsYetBehaveAsValues) {
  const AMFValue original(AMFObject{{"list", AMFList{1.0, "two"}}, {"name", "first"}});
  AMFValue copy = original;
  EXPECT_EQ(copy.object(), original.object());  // a copy costs no deep copy
  (*copy.get<AMFObject>())["name"] = "second";
  copy.get<AMFObject>()->at("list").get<AMFList>()->push_back(3.0);
  EXPECT_EQ(original.object()->at("name"), AMFValue("first"));
  EXPECT_EQ(original.object()->at("list"), AMFValue(AMFList{1.0, "two"}));
  EXPECT_EQ(copy.object()->at("list"), AMFValue(AMFList{1.0, "two", 3.0}));
  // Equality compares contents, whichever nodes hold them.
  EXPECT_EQ(AMFValue(AMFList{"two"}), AMFValue(AMFList{AMFValue(std::string("two"))}));
  EXPECT_NE(AMFValue(AMFList{}), AMFValue(AMFArray()));
  EXPECT_NE(AMFValue("1"), AMFValue(1));
}

}  // namespace
