#include <gtest/gtest.h>

#include "RTMPMedley/RTMPTestSupport.h"
#include "RTMPMedley/Sources/RTMP/AMF/AMF0Serializer.h"

using namespace rtmpmedley;
using rtmptest::Bytes;

namespace {

Bytes write(const AMFValue& v) {
  AMF0Serializer s;
  s.serialize(v);
  return s.data();
}

AMFValue read(const Bytes& b, int64_t* position = nullptr) {
  AMF0Serializer s(b);
  AMFValue v = s.deserialize();
  if (position) *position = s.position();
  return v;
}

TEST(AMF0Test, RoundTripsNestedValuesAndLeavesOutEmptyKeys) {
  AMFArray mixed(AMFList{"first"});
  mixed.set("name", "metadata");
  const AMFValue value(AMFObject{{"list", AMFList{1.0, "x", AMFValue(), AMFDate{1234.5}}},
                                 {"mixed", mixed},
                                 {"typed", AMFTypedObject{"Point", AMFObject{{"x", 1.0}}}},
                                 {"xml", AMFXMLDocument{"<x/>"}}});
  int64_t position = 0;
  EXPECT_EQ(read(write(value), &position), value);
  EXPECT_EQ(position, int64_t(write(value).size()));
  // An empty key would end the object.
  EXPECT_EQ(write(AMFObject{{"", 1}}), (Bytes{0x03, 0x00, 0x00, 0x09}));
}

TEST(AMF0Test, TextsOver64KiBUseTheLongStringMarker) {
  const std::string name(65536, 'k');
  const Bytes b = write(name);
  EXPECT_EQ(Bytes(b.begin(), b.begin() + 5), (Bytes{0x0C, 0x00, 0x01, 0x00, 0x00}));
  EXPECT_EQ(*read(b).string(), name);
  EXPECT_EQ(write(std::string(65535, 'k'))[0], 0x02);
  EXPECT_THROW(write(AMFObject{{name, 1}}), std::length_error);  // keys cannot be long
}

TEST(AMF0Test, ReadsMarkersTheWriterNeverUses) {
  const std::vector<std::tuple<Bytes, AMFValue, int64_t>> cases = {
      {{0x06}, AMFUndefined{}, 1},
      {{0x04, 0x01}, AMFValue(), 1},
      {{0x0F, 0, 0, 0, 3, '<', 'a', '>'}, AMFXMLDocument{"<a>"}, 8},
      // A reference to the array that contains it cannot be copied: absent, and the index is consumed.
      {{0x0A, 0, 0, 0, 2, 0x07, 0x00, 0x00, 0x05}, AMFList{AMFValue(), AMFValue()}, 9},
      // Markers without bodies read as absent.
      {{0x09, 0x01}, AMFValue(), 1},
      {{0x0D, 0x01}, AMFValue(), 1},
      {{0xFF, 0x01}, AMFValue(), 1},
  };
  for (const auto& [bytes, value, position] : cases) {
    SCOPED_TRACE(int(bytes[0]));
    int64_t pos = 0;
    EXPECT_EQ(read(bytes, &pos), value);
    EXPECT_EQ(pos, position);
  }
}

TEST(AMF0Test, TruncatedHostileAndUnfitInputsAreRefused) {
  const Bytes full = write(AMFObject{{"key", AMFList{1.0, "two", AMFDate{3}}}});
  for (size_t n = 0; n < full.size(); ++n)
    EXPECT_THROW(read(Bytes(full.begin(), full.begin() + static_cast<ptrdiff_t>(n))), ByteArray::Error) << n;
  // Announced counts do not allocate ahead of the bytes.
  EXPECT_THROW(read({0x0A, 0xFF, 0xFF, 0xFF, 0xFF, 0x05}), ByteArray::Error);
  EXPECT_LE(read({0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x09}).get<AMFArray>()->data.size(), 3u);
  EXPECT_THROW(read({0x07, 0x00, 0x03}), AMFSerializerError);

  Bytes deep;
  for (int i = 0; i < AMFSerializer::kMaxDepth; ++i) deep.insert(deep.end(), {0x0A, 0, 0, 0, 1});
  deep.push_back(0x05);
  EXPECT_NO_THROW(read(deep));
  deep.insert(deep.begin(), {0x03, 0x00, 0x01, 'a'});
  EXPECT_THROW(read(deep), AMFSerializerError);
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
