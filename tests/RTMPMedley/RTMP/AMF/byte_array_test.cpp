#include <gtest/gtest.h>

#include "RTMPMedley/RTMPTestSupport.h"
#include "RTMPMedley/Sources/RTMP/AMF/ByteArray.h"

using rtmpmedley::ByteArray;
using rtmptest::Bytes;

// The RTMP layers' additions; the byte array itself is tested with the media library.
TEST(ByteArrayTest, WordsAndBlocksForTheDigest) {
  ByteArray a(Bytes{0x01, 0, 0, 0, 0x00, 0x01, 0x02, 0x03});
  EXPECT_EQ(a.toUInt32Words(), (std::vector<uint32_t>{1, 0x03020100}));
  ByteArray odd(Bytes{1, 2, 3, 4, 5});
  EXPECT_TRUE(odd.toUInt32Words().empty());
  ByteArray big(Bytes(130, 7));
  std::vector<int64_t> sizes;
  big.forEachBlock(64, [&](ByteArray& block) { sizes.push_back(block.length()); });
  EXPECT_EQ(sizes, (std::vector<int64_t>{64, 64, 2}));
}
