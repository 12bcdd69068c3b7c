#include <gtest/gtest.h>

#include <cmath>

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

TEST(AMF0Test, GoldenBytes) {
  const std::vector<std::pair<AMFValue, Bytes>> cases = {
      {AMFValue(), {0x05}},
      {true, {0x01, 0x01}},
      {1, {0x00, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0}},
      {uint8_t{1}, {0x00, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0}},
      {"abc", {0x02, 0x00, 0x03, 'a', 'b', 'c'}},
      {AMFDate{1.0}, {0x0B, 0x40, 0x8F, 0x40, 0, 0, 0, 0, 0, 0, 0}},
      {AMFUndefined{}, {0x06}},
      {AMFList{}, {0x0A, 0, 0, 0, 0}},
      {AMFObject{}, {0x03, 0x00, 0x00, 0x09}},
      // Empty keys would end the object: they are left out.
      {AMFObject{{"", 1}}, {0x03, 0x00, 0x00, 0x09}},
  };
  for (const auto& [value, bytes] : cases) EXPECT_EQ(write(value), bytes) << value.description();
  EXPECT_EQ(write(uint64_t{1} << 63), write(9223372036854775808.0));
  AMFArray mixed(AMFList{true});
  mixed.set("a", 1);
  mixed.set("", 2);
  EXPECT_EQ(write(mixed), (Bytes{0x08, 0, 0, 0, 1, 0x00, 0x01, '0', 0x01, 0x01, 0x00, 0x01, 'a', 0x00, 0x3F, 0xF0,
                                 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0x09}));
}

TEST(AMF0Test, LongTextsUseTheLongStringMarker) {
  const Bytes b = write(std::string(70000, 'a'));
  EXPECT_EQ(Bytes(b.begin(), b.begin() + 5), (Bytes{0x0C, 0x00, 0x01, 0x11, 0x70}));
  EXPECT_EQ(b.size(), 5u + 70000u);
  // A 64 KiB stream name (one byte too long for a short string) survives both ways.
  const std::string name(65536, 'k');
  EXPECT_EQ(write(name)[0], 0x0C);
  EXPECT_EQ(*read(write(name)).string(), name);
  EXPECT_EQ(write(std::string(65535, 'k'))[0], 0x02);
  EXPECT_THROW(write(AMFObject{{name, 1}}), std::length_error);  // keys cannot be long
}

TEST(AMF0Test, ReadsEveryMarker) {
  AMFObject withNull;
  withNull["a"] = AMFValue();
  const std::vector<std::tuple<Bytes, AMFValue, int64_t>> cases = {
      {{0x05}, AMFValue(), 1},
      {{0x06}, AMFUndefined{}, 1},
      {{0x04, 0x01}, AMFValue(), 1},
      {{0x01, 0x02}, false, 2},
      {{0x03, 0x00, 0x01, 'a', 0x05, 0x00, 0x00, 0x09}, withNull, 8},
      {{0x08, 0, 0, 0, 2, 0x00, 0x01, '1', 0x00, 0x40, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0x09},
       AMFArray(AMFList{AMFUndefined{}, 2.0}), 20},
      {{0x0F, 0, 0, 0, 3, '<', 'a', '>'}, AMFXMLDocument{"<a>"}, 8},
      {{0x0A, 0, 0, 0, 2, 0x05, 0x01, 0x01}, AMFList{AMFValue(), true}, 8},
      // The switch marker reads one AMF3 value.
      {{0x11, 0x06, 0x07, 'a', 'b', 'c'}, "abc", 6},
      {{0x11, 0x04, 0x81, 0x80, 0x00}, int64_t{16384}, 5},
      // Markers without bodies read as absent.
      {{0x09, 0x01, 0x01}, AMFValue(), 1},
      {{0x0D, 0x01}, AMFValue(), 1},
      {{0x0E, 0x01}, AMFValue(), 1},
      {{0x12, 0x01}, AMFValue(), 1},
      {{0xFF, 0x01}, AMFValue(), 1},
  };
  for (const auto& [bytes, value, position] : cases) {
    int64_t pos = 0;
    EXPECT_EQ(read(bytes, &pos), value) << int(bytes[0]);
    EXPECT_EQ(pos, position) << int(bytes[0]);
  }
}

TEST(AMF0Test, RoundTripsNestedValues) {
  AMFArray mixed(AMFList{"first"});
  mixed.set("name", "metadata");
  AMFObject inner{{"list", AMFList{1.0, "x", AMFValue(), AMFDate{1234.5}}},
                  {"mixed", mixed},
                  {"typed", AMFTypedObject{"Point", AMFObject{{"x", 1.0}, {"", 2.0}}}},
                  {"xml", AMFXMLDocument{"<x/>"}}};
  const AMFObject outer{{"inner", inner}, {"flag", true}};
  AMF0Serializer s;
  s.serialize(outer).serialize("after");
  s.setPosition(0);
  inner["typed"] = AMFTypedObject{"Point", AMFObject{{"x", 1.0}}};
  EXPECT_EQ(s.deserialize(), AMFValue(AMFObject{{"inner", inner}, {"flag", true}}));
  EXPECT_EQ(s.deserialize(), AMFValue("after"));
  EXPECT_EQ(s.bytesAvailable(), 0);
}

TEST(AMF0Test, TypedReaders) {
  AMF0Serializer text(Bytes{0x05, 0x11, 0x06, 0x05, 'o', 'k'});
  EXPECT_EQ(text.deserializeString(), "");
  EXPECT_EQ(text.deserializeString(), "ok");
  AMF0Serializer notObject(Bytes{0x02, 0, 0});
  EXPECT_EQ(amfError([&] { notObject.deserializeObject(); }), AMFSerializerError::Kind::deserialize);
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
}

TEST(AMF0Test, ReferencesToWhatIsStillBeingReadOrToNothing) {
  // A reference to the array that contains it cannot be copied: absent, and the index is consumed.
  int64_t pos = 0;
  EXPECT_EQ(read({0x0A, 0, 0, 0, 2, 0x07, 0x00, 0x00, 0x05}, &pos), AMFValue(AMFList{AMFValue(), AMFValue()}));
  EXPECT_EQ(pos, 9);
  EXPECT_EQ(amfError([&] { read({0x07, 0x00, 0x03}); }), AMFSerializerError::Kind::outOfIndex);
}

TEST(AMF0Test, HostileInputsAreBounded) {
  Bytes deep;
  for (int i = 0; i < 10000; ++i) deep.insert(deep.end(), {0x03, 0x00, 0x01, 'a'});
  deep.push_back(0x05);
  EXPECT_EQ(amfError([&] { read(deep); }), AMFSerializerError::Kind::deserialize);
  Bytes limit;
  for (int i = 0; i < AMFSerializer::kMaxDepth; ++i) limit.insert(limit.end(), {0x0A, 0, 0, 0, 1});
  limit.push_back(0x05);
  EXPECT_NO_THROW(read(limit));
  limit.insert(limit.begin(), {0x0A, 0, 0, 0, 1});
  EXPECT_THROW(read(limit), AMFSerializerError);

  // Announced counts do not allocate ahead of the bytes.
  EXPECT_THROW(read({0x0A, 0xFF, 0xFF, 0xFF, 0xFF, 0x05}), ByteArray::Error);
  EXPECT_LE(read({0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x09}).get<AMFArray>()->data.size(), 3u);
}

}  // namespace
