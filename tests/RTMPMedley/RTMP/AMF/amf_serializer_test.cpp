#include <gtest/gtest.h>

#include "RTMPMedley/RTMPTestSupport.h"
#include "RTMPMedley/Sources/RTMP/AMF/AMF0Serializer.h"
#include "RTMPMedley/Sources/RTMP/AMF/AMF3Serializer.h"

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

TEST(AMF3Test, RoundTripsComplexValuesWithReferences) {
  // Texts, dates, objects and traits repeat as references.
  AMFObject point{{"x", 1.0}, {"y", "north"}};
  AMFArray arr(AMFList{point, point, "north", "", ""});
  arr.set("label", "north");
  const AMFValue value(AMFObject{{"arr", arr},
                                 {"typed", AMFTypedObject{"flash.geom.Point", point}},
                                 {"bytes", medley::Data{1, 2, 3}},
                                 {"ints", AMFVectorInt{-1, 2}},
                                 {"uints", AMFVectorUInt{3}},
                                 {"doubles", AMFVectorDouble{0.5}},
                                 {"xml", AMFXML{"<a/>"}},
                                 {"doc", AMFXMLDocument{"<b/>"}},
                                 {"when", AMFDate{86400}},
                                 {"again", AMFDate{86400}}});
  AMF3Serializer w;
  w.serialize(value).serialize(value);
  AMF3Serializer r(w.data());
  EXPECT_EQ(r.deserialize(), value);
  EXPECT_EQ(r.deserialize(), value);  // the second copy is a reference
  EXPECT_EQ(r.bytesAvailable(), 0);
}

TEST(AMF3Test, ReadsSealedTraitsTraitReferencesAndSkipsDictionaries) {
  // Two objects of class "P" with sealed member "x"; the second refers to the first's traits.
  AMF3Serializer r(Bytes{0x09, 0x05, 0x01, 0x0A, 0x13, 0x03, 'P', 0x03, 'x', 0x04, 0x01, 0x0A, 0x01, 0x04, 0x02});
  EXPECT_EQ(r.deserialize(), AMFValue(AMFArray(AMFList{AMFTypedObject{"P", AMFObject{{"x", int64_t{1}}}},
                                                       AMFTypedObject{"P", AMFObject{{"x", int64_t{2}}}}})));
  AMF3Serializer dictionary(Bytes{0x11, 0x03, 0x00, 0x06, 0x03, 'k', 0x03, 0x06, 0x03, 'n'});
  EXPECT_TRUE(dictionary.deserialize().isNull());
  EXPECT_EQ(dictionary.deserialize(), AMFValue("n"));
  // Integers are signed 29-bit.
  EXPECT_EQ(AMF3Serializer(Bytes{0x04, 0xFF, 0xFF, 0xFF, 0xFF}).deserialize(), AMFValue(int64_t{-1}));
}

TEST(AMF3Test, BadReferencesMarkersAndHostileInputsAreRefused) {
  Bytes deep;
  for (int i = 0; i < 10000; ++i) deep.insert(deep.end(), {0x09, 0x03, 0x01});
  deep.push_back(0x01);
  // A 1024-byte text referenced over and over.
  Bytes refs = {0x09, 0x83, 0xFF, 0x7F, 0x01, 0x06, 0x90, 0x01};
  refs.insert(refs.end(), 1024, 'z');
  for (int i = 1; i < 0xFFFF; ++i) refs.insert(refs.end(), {0x06, 0x00});
  const std::vector<Bytes> cases = {
      {0x06, 0x07, 'a', 'b', 'c', 0x06, 0x02},                    // text reference to nothing
      {0x12},                                                     // unknown marker
      {0x06, 0x81, 0x80},                                         // cut inside a U29
      {0x0A, 0x07, 0x03, 'E'},                                    // externalizable
      {0x0A, 0x05},                                               // traits reference to nothing
      {0x08, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0x0B, 0x00},           // XML reference to a date
      {0x09, 0xFF, 0xFF, 0xFF, 0xFF, 0x01},                       // count beyond the bytes
      deep, refs};
  for (const Bytes& bytes : cases) {
    AMF3Serializer s(bytes);
    EXPECT_ANY_THROW(while (s.bytesAvailable() > 0) s.deserialize()) << bytes.size();
  }
}

}  // namespace
