#include <gtest/gtest.h>

#include "RTMPMedley/Sources/RTMP/AMFTypes.h"

using namespace rtmpmedley;

namespace {

TEST(AMFArrayTest, IntegerAndDecimalKeysAddressTheDensePart) {
  AMFArray a;
  a.set("2", "v");
  EXPECT_EQ(a.data, (AMFList{AMFUndefined{}, AMFUndefined{}, "v"}));
  a.set("+1", 1);
  a.set(int64_t{0}, 0);
  EXPECT_EQ(a.data, (AMFList{0, 1, "v"}));
  EXPECT_EQ(a.get("007"), AMFValue(AMFUndefined{}));
  a.set("007", 7);
  EXPECT_EQ(a.get(int64_t{7}), AMFValue(7));
  EXPECT_EQ(a.data.size(), 8u);
  EXPECT_TRUE(a.dict.empty());
}

TEST(AMFArrayTest, OtherTextsAddressTheNamedPart) {
  AMFArray a;
  a.set("name", "x");
  a.set("1.5", 1);
  a.set("", 2);
  a.set("a", AMFValue());
  EXPECT_EQ(a.dict.size(), 4u);
  EXPECT_TRUE(a.dict.at("a").isNull());
  EXPECT_EQ(a.get("name"), AMFValue("x"));
  EXPECT_TRUE(a.get("missing").isNull());
  EXPECT_TRUE(a.data.empty());
  // Keys of other kinds neither read nor write.
  a.set(AMFValue(true), 1);
  EXPECT_TRUE(a.get(AMFValue(1.0)).isNull());
  EXPECT_EQ(a.dict.size(), 4u);
}

TEST(AMFArrayTest, ReadingPastTheEndDoesNotGrow) {
  AMFArray a(AMFList{1, 2});
  EXPECT_EQ(a.get(int64_t{5}), AMFValue(AMFUndefined{}));
  EXPECT_EQ(a.data.size(), 2u);
}

TEST(AMFArrayTest, FarAndNegativeIndicesAreKeptByName) {
  AMFArray a;
  a.set(int64_t{AMFArray::kMaxDenseGap - 1}, "edge");
  EXPECT_EQ(a.data.size(), static_cast<size_t>(AMFArray::kMaxDenseGap));
  a.set("999999999999", "far");
  a.set(int64_t{-1}, "negative");
  EXPECT_EQ(a.data.size(), static_cast<size_t>(AMFArray::kMaxDenseGap));
  EXPECT_EQ(a.get(int64_t{999999999999}), AMFValue("far"));
  EXPECT_EQ(a.get("-1"), AMFValue("negative"));
  EXPECT_EQ(a.dict.count("999999999999"), 1u);
  // Beyond 64 bits a decimal text is just a name.
  a.set("99999999999999999999", 1);
  EXPECT_EQ(a.dict.count("99999999999999999999"), 1u);
}

TEST(AMFArrayTest, EqualityAndTextForm) {
  AMFArray a(AMFList{1.0});
  EXPECT_EQ(a.description(), "[1.0]:[:]");
  AMFArray b(AMFList{1.0});
  EXPECT_EQ(a, b);
  b.set("k", "v");
  EXPECT_NE(a, b);
  EXPECT_EQ(b.description(), "[1.0]:[\"k\": \"v\"]");
  EXPECT_EQ(AMFValue(AMFUndefined{}).description(), "undefined");
  EXPECT_EQ(AMFValue(AMFXML{"<a/>"}).description(), "<a/>");
  EXPECT_EQ(AMFValue().description(), "nil");
}

}  // namespace
