#include <gtest/gtest.h>

#include "RTMPMedley/RTMPTestSupport.h"
#include "RTMPMedley/Sources/RTMP/AMF/AMF3Serializer.h"

using namespace rtmpmedley;
using rtmptest::Bytes;

namespace {

Bytes write(std::initializer_list<AMFValue> values) {
  AMF3Serializer s;
  for (const auto& v : values) s.serialize(v);
  return s.data();
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
  AMF3Serializer r(write({value, value}));
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
