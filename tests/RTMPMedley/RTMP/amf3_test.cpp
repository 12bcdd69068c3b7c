#include <gtest/gtest.h>

#include "RTMPMedley/RTMPTestSupport.h"
#include "RTMPMedley/Sources/RTMP/AMF3Serializer.h"

using namespace rtmpmedley;
using rtmptest::Bytes;

namespace {

Bytes u29(uint32_t v) {
  AMF3Serializer s;
  s.serializeU29(v);
  return s.data();
}

template <typename F>
AMFSerializerError::Kind amfError(F&& f) {
  try {
    f();
  } catch (const AMFSerializerError& e) {
    return e.kind();
  }
  ADD_FAILURE() << "no AMF error";
  return AMFSerializerError::Kind::deserialize;
}

TEST(AMF3Test, U29GoldenBytesBothWays) {
  const std::vector<std::pair<uint32_t, Bytes>> cases = {
      {0x7F, {0x7F}},
      {0x80, {0x81, 0x00}},
      {0x3FFF, {0xFF, 0x7F}},
      {0x4000, {0x81, 0x80, 0x00}},
      {0x1FFFFF, {0xFF, 0xFF, 0x7F}},
      {0x200000, {0x80, 0xC0, 0x80, 0x00}},
      {0x1FFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const auto& [v, b] : cases) {
    EXPECT_EQ(u29(v), b) << v;
    AMF3Serializer r(b);
    EXPECT_EQ(r.deserializeU29(), v);
    EXPECT_EQ(r.bytesAvailable(), 0);
  }
  // 29 bits is all a U29 holds.
  EXPECT_THROW(u29(0x20000000), std::length_error);
  AMF3Serializer cut(Bytes{0x81, 0x80});
  EXPECT_THROW(cut.deserializeU29(), ByteArray::Error);
}

TEST(AMF3Test, ScalarsAndTextReferences) {
  AMF3Serializer s;
  s.serialize(true).serialize(AMFValue()).serialize(1).serialize("ab").serialize("ab").serialize("");
  EXPECT_EQ(s.data(), (Bytes{0x03, 0x01, 0x05, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0x06, 0x05, 'a', 'b', 0x06, 0x00, 0x06,
                             0x01}));
  EXPECT_EQ(s.reference.strings, (std::vector<std::string>{"ab"}));
  s.setPosition(0);
  EXPECT_EQ(s.deserialize(), AMFValue(true));
  EXPECT_TRUE(s.deserialize().isNull());
  EXPECT_EQ(s.deserialize(), AMFValue(1.0));
}

TEST(AMF3Test, ReadsTextReferencesAndRejectsBadIndices) {
  AMF3Serializer s(Bytes{0x06, 0x07, 'a', 'b', 'c', 0x06, 0x00, 0x06, 0x02});
  EXPECT_EQ(s.deserialize(), AMFValue("abc"));
  EXPECT_EQ(s.deserialize(), AMFValue("abc"));
  EXPECT_EQ(amfError([&] { s.deserialize(); }), AMFSerializerError::Kind::outOfIndex);
  AMF3Serializer bad(Bytes{0x12});
  EXPECT_EQ(amfError([&] { bad.deserialize(); }), AMFSerializerError::Kind::deserialize);
}

TEST(AMF3Test, IntegersAreSigned29Bit) {
  AMF3Serializer a(Bytes{0x04, 0x81, 0x80, 0x00});
  EXPECT_EQ(a.deserialize(), AMFValue(int64_t{16384}));
  AMF3Serializer minusOne(Bytes{0x04, 0xFF, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(minusOne.deserialize(), AMFValue(int64_t{-1}));
}

TEST(AMF3Test, DatesAreEnteredOnceAndReferencedAfter) {
  AMF3Serializer s;
  s.serialize(AMFDate{1.0}).serialize(AMFDate{1.0});
  EXPECT_EQ(s.data(), (Bytes{0x08, 0x01, 0x40, 0x8F, 0x40, 0, 0, 0, 0, 0, 0x08, 0x00}));
  AMF3Serializer r(s.data());
  EXPECT_EQ(r.deserialize(), AMFValue(AMFDate{1.0}));
  EXPECT_EQ(r.deserialize(), AMFValue(AMFDate{1.0}));
}

TEST(AMF3Test, ArraysAndObjectsUseThePublishedLayout) {
  AMF3Serializer dense;
  dense.serialize(AMFArray(AMFList{true}));
  EXPECT_EQ(dense.data(), (Bytes{0x09, 0x03, 0x01, 0x03}));

  AMF3Serializer mixed;
  AMFArray m(AMFList{1.0});
  m.set("k", false);
  mixed.serialize(m);
  EXPECT_EQ(mixed.data(), (Bytes{0x09, 0x03, 0x03, 'k', 0x02, 0x01, 0x05, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0}));

  AMF3Serializer object;
  object.serialize(AMFObject{{"a", true}});
  // Inline traits of an anonymous dynamic class, one member, the empty key.
  EXPECT_EQ(object.data(), (Bytes{0x0A, 0x0B, 0x01, 0x03, 'a', 0x03, 0x01}));

  AMF3Serializer list;
  list.serialize(AMFList{AMFValue(), "x"});
  EXPECT_EQ(list.data(), (Bytes{0x09, 0x05, 0x01, 0x01, 0x06, 0x03, 'x'}));
}

TEST(AMF3Test, RoundTripsComplexValuesWithReferences) {
  AMFObject point{{"x", 1.0}, {"y", "north"}};
  AMFArray arr(AMFList{point, point, "north"});
  arr.set("label", "north");
  const AMFValue value(AMFObject{{"arr", arr},
                                 {"typed", AMFTypedObject{"flash.geom.Point", point}},
                                 {"bytes", medley::Data{1, 2, 3}},
                                 {"ints", AMFVectorInt{-1, 2}},
                                 {"uints", AMFVectorUInt{3}},
                                 {"doubles", AMFVectorDouble{0.5}},
                                 {"xml", AMFXML{"<a/>"}},
                                 {"doc", AMFXMLDocument{"<b/>"}},
                                 {"when", AMFDate{86400}}});
  AMF3Serializer w;
  w.serialize(value).serialize(value);
  AMF3Serializer r(w.data());
  EXPECT_EQ(r.deserialize(), value);
  EXPECT_EQ(r.deserialize(), value);  // the second copy is a reference
  EXPECT_EQ(r.bytesAvailable(), 0);
}

TEST(AMF3Test, ReadsSealedTraitsAndTraitReferences) {
  // Two objects of class "P" with sealed member "x"; the second refers to the first's traits.
  const Bytes b = {0x09, 0x05, 0x01,                                       // dense array of two
                   0x0A, 0x13, 0x03, 'P', 0x03, 'x', 0x04, 0x01,           // traits inline: 1 sealed, "P"
                   0x0A, 0x01, 0x04, 0x02};                                // traits reference 0
  AMF3Serializer r(b);
  const AMFValue v = r.deserialize();
  const AMFArray& a = *v.get<AMFArray>();
  ASSERT_EQ(a.data.size(), 2u);
  EXPECT_EQ(a.data[0], AMFValue(AMFTypedObject{"P", AMFObject{{"x", int64_t{1}}}}));
  EXPECT_EQ(a.data[1], AMFValue(AMFTypedObject{"P", AMFObject{{"x", int64_t{2}}}}));
  AMF3Serializer externalizable(Bytes{0x0A, 0x07, 0x03, 'E'});
  EXPECT_EQ(amfError([&] { externalizable.deserialize(); }), AMFSerializerError::Kind::deserialize);
  AMF3Serializer badTraits(Bytes{0x0A, 0x05});
  EXPECT_EQ(amfError([&] { badTraits.deserialize(); }), AMFSerializerError::Kind::outOfIndex);
}

TEST(AMF3Test, ReferencesOfTheWrongKindAreRefused) {
  // A date entered, then an XML reference to it.
  AMF3Serializer r(Bytes{0x08, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0x0B, 0x00});
  r.deserialize();
  EXPECT_EQ(amfError([&] { r.deserialize(); }), AMFSerializerError::Kind::deserialize);
}

TEST(AMF3Test, HostileInputsAreBounded) {
  // A dense count far beyond the bytes.
  AMF3Serializer count(Bytes{0x09, 0xFF, 0xFF, 0xFF, 0xFF, 0x01});
  EXPECT_THROW(count.deserialize(), ByteArray::Error);
  // Deep nesting.
  Bytes deep;
  for (int i = 0; i < 10000; ++i) deep.insert(deep.end(), {0x09, 0x03, 0x01});
  deep.push_back(0x01);
  AMF3Serializer nested(deep);
  EXPECT_EQ(amfError([&] { nested.deserialize(); }), AMFSerializerError::Kind::deserialize);
  // A long text referenced over and over.
  Bytes refs = {0x09, 0x83, 0xFF, 0x7F, 0x01, 0x06, 0x90, 0x01};  // many elements, a 1024-byte text
  refs.insert(refs.end(), 1024, 'z');
  for (int i = 1; i < 0xFFFF; ++i) refs.insert(refs.end(), {0x06, 0x00});
  AMF3Serializer expansion(refs);
  EXPECT_EQ(amfError([&] { expansion.deserialize(); }), AMFSerializerError::Kind::deserialize);
}

TEST(AMF3Test, DictionariesAreSkippedWhole) {
  AMF3Serializer r(Bytes{0x11, 0x03, 0x00, 0x06, 0x03, 'k', 0x03, 0x06, 0x03, 'n'});
  EXPECT_TRUE(r.deserialize().isNull());
  EXPECT_EQ(r.deserialize(), AMFValue("n"));
}

}  // namespace
