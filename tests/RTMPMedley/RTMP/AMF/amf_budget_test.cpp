// What decoding a payload may allocate, measured: this executable counts every
// operator new.
#define QZ_AMF_COUNT_ALLOCATIONS
#include "RTMPMedley/RTMP/AMF/HostileAMF.h"

#include <gtest/gtest.h>

#include "RTMPMedley/Sources/RTMP/AMF/AMF0Serializer.h"

using namespace rtmpmedley;
using hostileamf::Bytes;
using hostileamf::Element;

namespace {

// Past this, a payload drives memory beyond what it carries.
constexpr int64_t kPeakPerByte = 8;

void expectRefusedWithinBudget(const hostileamf::Decoded& decoded, const Bytes& payload) {
  EXPECT_TRUE(decoded.refused);
  EXPECT_LE(decoded.peakBytes, kPeakPerByte * int64_t(payload.size()));
}

TEST(AMFBudgetTest, NestedArraysAreHeldOnceNotCopiedPerLevel) {
  for (bool amf3 : {false, true}) {
    SCOPED_TRACE(amf3 ? "AMF3 in a type-17 command" : "AMF0");
    const Bytes payload = hostileamf::nestedResult(200'000, 63, Element::number, amf3);
    const auto decoded = hostileamf::decode(payload, amf3 ? 1 : 0);
    ASSERT_FALSE(decoded.failed);
    ASSERT_EQ(decoded.values.size(), 4u);
    const AMFValue* v = &decoded.values[3];
    // AMF0 reads a strict array as a list, AMF3 an array as the dense part of an AMFArray.
    auto elements = [](const AMFValue& a) -> const AMFList& {
      return a.get<AMFArray>() ? a.get<AMFArray>()->data : *a.get<AMFList>();
    };
    for (int level = 1; level < 63; ++level) v = &elements(*v).at(0);
    EXPECT_GT(elements(*v).size(), 20'000u);
    // About one value slot per 9-byte number, once, whatever the depth.
    EXPECT_LT(decoded.peakBytes, 4 * int64_t(payload.size()));

    // The same nest of nulls stores 24 bytes per byte received: refused before it is stored.
    const Bytes nulls = hostileamf::nestedResult(200'000, 63, Element::null, amf3);
    expectRefusedWithinBudget(hostileamf::decode(nulls, amf3 ? 1 : 0), nulls);
  }
}

TEST(AMFBudgetTest, SteppedKeysAndLargeStrictArraysAreChargedWhileSmallOnesFit) {
  // Keys stepping just short of a far index grow the dense part; a strict array
  // of nulls as large as a message stores 24 bytes per byte.
  const Bytes stepped = hostileamf::steppedMetadata(99'000);
  expectRefusedWithinBudget(hostileamf::decode(stepped), stepped);
  const Bytes strict = hostileamf::nullStrictArray(0xFFFFFF);
  expectRefusedWithinBudget(hostileamf::decode(strict), strict);

  const auto few = hostileamf::decode(hostileamf::steppedMetadata(40));
  ASSERT_FALSE(few.failed);
  EXPECT_TRUE(few.values.at(1).get<AMFArray>()->dict.empty());
  EXPECT_EQ(few.values.at(1).get<AMFArray>()->data.size(), 3 * size_t(AMFArray::kMaxDenseGap));
  const auto small = hostileamf::decode(hostileamf::nullStrictArray(5'000));
  ASSERT_FALSE(small.failed);
  EXPECT_EQ(small.values.at(0).get<AMFList>()->size(), 4'995u);
}

TEST(AMFBudgetTest, ReferencesAreChargedAsCopies) {
  // A strict array holding an object and references to it (index 1: the array itself is 0).
  Bytes refs = {0x0A, 0x00, 0x00, 0x40, 0x00, 0x03, 0x00, 0x01, 'k', 0x02, 0x04, 0x00};
  refs.insert(refs.end(), 1024, 'x');
  refs.insert(refs.end(), {0x00, 0x00, 0x09});
  for (int i = 1; i < 0x4000; ++i) refs.insert(refs.end(), {0x07, 0x00, 0x01});
  // 16384 references to 1 KiB stand for 16 MiB: more than the budget of 65 KiB received.
  expectRefusedWithinBudget(hostileamf::decode(refs), refs);
}

TEST(AMFBudgetTest, LargeLegitimatePayloadsStillDecode) {
  // An object of 5000 short texts, the costliest per byte (large arrays of
  // numbers decode in the nested-array test).
  AMFObject fields;
  for (int i = 0; i < 5000; ++i) fields["field" + std::to_string(i)] = "value-" + std::to_string(i);
  AMF0Serializer writer;
  writer.serialize(fields);
  EXPECT_GT(writer.length(), int64_t(AMFSerializer::kMinBudget / AMFSerializer::kBudgetPerByte));
  const auto decoded = hostileamf::decode(writer.data());
  ASSERT_FALSE(decoded.failed);
  EXPECT_EQ(decoded.values.at(0), AMFValue(fields));
}

}  // namespace
