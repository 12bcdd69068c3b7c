#include <gtest/gtest.h>

#include <cmath>

#include "RTMPMedley/RTMPTestSupport.h"
#include "RTMPMedley/Sources/RTMP/AMF0Serializer.h"

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

template <typename F>
AMFSerializerError::Kind amfError(F&& f) {
  try {
    f();
  } catch (const AMFSerializerError& e) {
    return e.kind();
  }
  ADD_FAILURE() << "no AMF error";
  return AMFSerializerError::Kind::outOfIndex;
}

TEST(AMF0Test, ScalarGoldenBytes) {
  EXPECT_EQ(write(AMFValue()), (Bytes{0x05}));
  EXPECT_EQ(write(true), (Bytes{0x01, 0x01}));
  EXPECT_EQ(write(false), (Bytes{0x01, 0x00}));
  EXPECT_EQ(write(1), (Bytes{0x00, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(write(uint8_t{1}), write(1.0));
  EXPECT_EQ(write(1.0f), write(1.0));
  // Integers of every width are numbers, 64-bit ones included.
  EXPECT_EQ(write(int64_t{1}), write(1.0));
  EXPECT_EQ(write(uint64_t{1} << 63), write(9223372036854775808.0));
  EXPECT_EQ(write("abc"), (Bytes{0x02, 0x00, 0x03, 'a', 'b', 'c'}));
  EXPECT_EQ(write(AMFDate{1.0}), (Bytes{0x0B, 0x40, 0x8F, 0x40, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(write(AMFUndefined{}), (Bytes{0x06}));
  EXPECT_EQ(write(AMFList{}), (Bytes{0x0A, 0, 0, 0, 0}));
  EXPECT_EQ(write(AMFObject{}), (Bytes{0x03, 0x00, 0x00, 0x09}));
}

TEST(AMF0Test, LongTextsUseTheLongStringMarker) {
  const std::string ascii(70000, 'a');
  const Bytes b = write(ascii);
  EXPECT_EQ(Bytes(b.begin(), b.begin() + 5), (Bytes{0x0C, 0x00, 0x01, 0x11, 0x70}));
  EXPECT_EQ(b.size(), 5u + 70000u);
  std::string wide;
  for (int i = 0; i < 30000; ++i) wide += "\xE2\x82\xAC";
  EXPECT_EQ(write(wide)[0], 0x0C);
  // A 64 KiB stream name (one byte too long for a short string) survives both ways.
  const std::string name(65536, 'k');
  EXPECT_EQ(write(name)[0], 0x0C);
  EXPECT_EQ(*read(write(name)).string(), name);
  EXPECT_EQ(write(std::string(65535, 'k'))[0], 0x02);
  // Keys cannot be long.
  AMFObject o;
  o[name] = 1;
  EXPECT_THROW(write(o), std::length_error);
}

TEST(AMF0Test, MixedArrayWritesDenseThenNamedParts) {
  AMFArray a(AMFList{true});
  a.set("a", 1);
  EXPECT_EQ(write(a), (Bytes{0x08, 0, 0, 0, 1, 0x00, 0x01, '0', 0x01, 0x01, 0x00, 0x01, 'a', 0x00, 0x3F, 0xF0,
                             0, 0, 0, 0, 0, 0, 0x00, 0x00, 0x09}));
}

TEST(AMF0Test, ReadsEveryKnownMarker) {
  int64_t pos = 0;
  EXPECT_TRUE(read({0x05}, &pos).isNull());
  EXPECT_EQ(pos, 1);
  EXPECT_TRUE(read({0x06}, &pos).is<AMFUndefined>());
  EXPECT_TRUE(read({0x04}, &pos).isNull());
  EXPECT_EQ(pos, 1);
  EXPECT_EQ(read({0x01, 0x02}), AMFValue(false));
  EXPECT_EQ(read({0x01, 0x01}), AMFValue(true));
  EXPECT_EQ(read({0x03, 0x00, 0x00, 0x09}, &pos), AMFValue(AMFObject{}));
  EXPECT_EQ(pos, 4);
  AMFObject withNull;
  withNull["a"] = AMFValue();
  EXPECT_EQ(read({0x03, 0x00, 0x01, 'a', 0x05, 0x00, 0x00, 0x09}), AMFValue(withNull));
  const AMFValue mixed = read({0x08, 0, 0, 0, 2, 0x00, 0x01, '1', 0x00, 0x40, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0x09});
  ASSERT_TRUE(mixed.is<AMFArray>());
  EXPECT_EQ(mixed.get<AMFArray>()->data, (AMFList{AMFUndefined{}, 2.0}));
  EXPECT_EQ(read({0x0F, 0, 0, 0, 3, '<', 'a', '>'}), AMFValue(AMFXMLDocument{"<a>"}));
  EXPECT_EQ(read({0x0A, 0, 0, 0, 2, 0x05, 0x01, 0x01}), AMFValue(AMFList{AMFValue(), true}));
}

TEST(AMF0Test, RoundTripsNestedValues) {
  AMFObject inner;
  inner["list"] = AMFList{1.0, "x", AMFValue(), AMFDate{1234.5}};
  AMFArray mixed(AMFList{"first"});
  mixed.set("name", "metadata");
  inner["mixed"] = mixed;
  inner["typed"] = AMFTypedObject{"Point", AMFObject{{"x", 1.0}}};
  inner["xml"] = AMFXMLDocument{"<x/>"};
  AMFObject outer;
  outer["inner"] = inner;
  outer["flag"] = true;
  AMF0Serializer s;
  s.serialize(outer).serialize("after");
  s.setPosition(0);
  EXPECT_EQ(s.deserialize(), AMFValue(outer));
  EXPECT_EQ(s.deserialize(), AMFValue("after"));
  EXPECT_EQ(s.bytesAvailable(), 0);
}

TEST(AMF0Test, EmptyKeysAreLeftOutSinceTheyEndAnObject) {
  AMFObject o{{"", 1}, {"a", 2}};
  EXPECT_EQ(write(o), write(AMFObject{{"a", 2}}));
  AMFArray mixed;
  mixed.set("", true);
  EXPECT_EQ(write(mixed), write(AMFArray()));
  int64_t pos = 0;
  read(write(AMFTypedObject{"T", o}), &pos);
  EXPECT_EQ(static_cast<size_t>(pos), write(AMFTypedObject{"T", o}).size());
}

TEST(AMF0Test, TypedReaders) {
  AMF0Serializer nullText(Bytes{0x05});
  EXPECT_EQ(nullText.deserializeString(), "");
  EXPECT_EQ(nullText.position(), 1);
  AMF0Serializer notObject(Bytes{0x02, 0, 0});
  EXPECT_EQ(amfError([&] { notObject.deserializeObject(); }), AMFSerializerError::Kind::deserialize);
  AMF0Serializer nullObject(Bytes{0x05});
  EXPECT_TRUE(nullObject.deserializeObject().empty());
  AMF0Serializer number(write(-3.9));
  EXPECT_EQ(number.deserializeInt(), -3);
  for (double bad : {double(NAN), double(INFINITY), 1e19, -1e19}) {
    AMF0Serializer s(write(bad));
    EXPECT_EQ(amfError([&] { s.deserializeInt(); }), AMFSerializerError::Kind::deserialize) << bad;
  }
}

TEST(AMF0Test, TruncatedValuesFailWithEof) {
  const Bytes full = write(AMFObject{{"key", AMFList{1.0, "two", AMFDate{3}}}});
  for (size_t n = 0; n < full.size(); ++n) {
    AMF0Serializer s(Bytes(full.begin(), full.begin() + static_cast<ptrdiff_t>(n)));
    EXPECT_THROW(s.deserialize(), ByteArray::Error) << n;
  }
  // A date without its time zone is incomplete as well.
  AMF0Serializer date(Bytes{0x0B, 0x40, 0x8F, 0x40, 0, 0, 0, 0, 0});
  EXPECT_THROW(date.deserialize(), ByteArray::Error);
}

TEST(AMF0Test, NestingDeeperThanTheLimitIsRefused) {
  Bytes deep;
  for (int i = 0; i < 10000; ++i) deep.insert(deep.end(), {0x03, 0x00, 0x01, 'a'});
  deep.push_back(0x05);
  for (int i = 0; i < 10000; ++i) deep.insert(deep.end(), {0x00, 0x00, 0x09});
  EXPECT_EQ(amfError([&] { read(deep); }), AMFSerializerError::Kind::deserialize);

  Bytes shallow;
  for (int i = 0; i < AMFSerializer::kMaxDepth; ++i) shallow.insert(shallow.end(), {0x0A, 0, 0, 0, 1});
  shallow.push_back(0x05);
  EXPECT_NO_THROW(read(shallow));
  shallow.insert(shallow.begin(), {0x0A, 0, 0, 0, 1});
  EXPECT_THROW(read(shallow), AMFSerializerError);
}

TEST(AMF0Test, AnnouncedCountsDoNotAllocateAheadOfTheBytes) {
  // Strict array announcing four billion elements with none present.
  EXPECT_THROW(read({0x0A, 0xFF, 0xFF, 0xFF, 0xFF, 0x05}), ByteArray::Error);
  // ECMA array: the pre-filled dense part is capped by the bytes left.
  const AMFValue v = read({0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x09});
  ASSERT_TRUE(v.is<AMFArray>());
  EXPECT_LE(v.get<AMFArray>()->data.size(), 3u);
  // An index far past the dense part is kept by name.
  const AMFValue far = read({0x08, 0, 0, 0, 0, 0x00, 0x0A, '4', '0', '0', '0', '0', '0', '0', '0', '0', '0',
                             0x01, 0x01, 0x00, 0x00, 0x09});
  const AMFArray& farArray = *far.get<AMFArray>();
  EXPECT_TRUE(farArray.data.empty());
  EXPECT_EQ(farArray.get(int64_t{4000000000}), AMFValue(true));
}

TEST(AMF0Test, ReferencesResolveToEarlierObjects) {
  // A strict array holding an object and a reference to it (index 1: the array itself is 0).
  const Bytes b = {0x0A, 0, 0, 0, 2, 0x03, 0x00, 0x01, 'k', 0x01, 0x01, 0x00, 0x00, 0x09, 0x07, 0x00, 0x01};
  const AMFValue v = read(b);
  const AMFList& list = *v.get<AMFList>();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0], list[1]);
  // A reference to the array that contains it cannot be copied: absent, and the index is consumed.
  int64_t pos = 0;
  const AMFValue self = read({0x0A, 0, 0, 0, 2, 0x07, 0x00, 0x00, 0x05}, &pos);
  EXPECT_EQ(*self.get<AMFList>(), (AMFList{AMFValue(), AMFValue()}));
  EXPECT_EQ(pos, 9);
  EXPECT_EQ(amfError([&] { read({0x07, 0x00, 0x03}); }), AMFSerializerError::Kind::outOfIndex);
}

TEST(AMF0Test, ReferenceExpansionIsBounded) {
  // An object of ~1 KiB referenced from a strict array many thousand times.
  Bytes b = {0x0A, 0x00, 0x01, 0x00, 0x00, 0x03, 0x00, 0x01, 'k', 0x02, 0x04, 0x00};
  b.insert(b.end(), 1024, 'x');
  b.insert(b.end(), {0x00, 0x00, 0x09});
  for (int i = 1; i < 0x10000; ++i) b.insert(b.end(), {0x07, 0x00, 0x01});
  EXPECT_EQ(amfError([&] { read(b); }), AMFSerializerError::Kind::deserialize);
}

TEST(AMF0Test, SwitchMarkerReadsOneAMF3Value) {
  int64_t pos = 0;
  EXPECT_EQ(read({0x11, 0x06, 0x07, 'a', 'b', 'c'}, &pos), AMFValue("abc"));
  EXPECT_EQ(pos, 6);
  EXPECT_EQ(read({0x11, 0x04, 0x81, 0x80, 0x00}), AMFValue(int64_t{16384}));
  // The text reader takes an AMF3 text as well.
  AMF0Serializer s(Bytes{0x11, 0x06, 0x05, 'o', 'k', 0x05});
  EXPECT_EQ(s.deserializeString(), "ok");
  EXPECT_TRUE(s.deserialize().isNull());
}

TEST(AMF0Test, MarkersWithoutBodiesReadAsAbsent) {
  for (uint8_t m : {0x09, 0x0D, 0x0E, 0x12, 0xFF}) {
    int64_t pos = 0;
    EXPECT_TRUE(read({m, 0x01, 0x01}, &pos).isNull()) << int(m);
    EXPECT_EQ(pos, 1);
  }
}

}  // namespace
