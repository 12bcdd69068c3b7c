#include <gtest/gtest.h>

#include "RTMPMedley/RTMPTestSupport.h"
#include "RTMPMedley/Sources/RTMP/RTMPHandshake.h"

using namespace rtmpmedley;
using rtmptest::Bytes;

namespace {

Bytes serverS0S1S2(uint8_t version = 3) {
  Bytes b(1 + 1536 + 1536);
  b[0] = version;
  for (size_t i = 1; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 31);
  return b;
}

TEST(HandshakeTest, C0C1HasVersionZeroTimeAndFreshRandomBytes) {
  RTMPHandshake h;
  const Bytes a = h.c0c1();
  const Bytes b = h.c0c1();
  ASSERT_EQ(a.size(), 1537u);
  EXPECT_EQ(Bytes(a.begin(), a.begin() + 9), (Bytes{3, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_NE(Bytes(a.begin() + 9, a.end()), Bytes(b.begin() + 9, b.end()));
}

TEST(HandshakeTest, C2EchoesS1AndLeavesS2) {
  auto clock = std::make_shared<platform::FixedWallClock>(platform::makeUtcDate(2024, 1, 1));
  RTMPHandshake h(clock);
  const Bytes s = serverS0S1S2(6);  // any version is accepted
  h.put(s);
  ASSERT_TRUE(h.hasS0S1());
  const auto c2 = h.c2();
  ASSERT_TRUE(c2);
  ASSERT_EQ(c2->size(), 1536u);
  EXPECT_EQ(Bytes(c2->begin(), c2->begin() + 4), Bytes(s.begin() + 1, s.begin() + 5));
  EXPECT_EQ(Bytes(c2->begin() + 8, c2->end()), Bytes(s.begin() + 9, s.begin() + 1537));
  // Seconds since 1970 with a zero time base.
  const uint32_t t = (uint32_t((*c2)[4]) << 24) | ((*c2)[5] << 16) | ((*c2)[6] << 8) | (*c2)[7];
  EXPECT_EQ(t, 1704067200u);
  EXPECT_EQ(h.inputBuffer, Bytes(s.begin() + 1537, s.end()));
  EXPECT_TRUE(h.hasS2());
}

TEST(HandshakeTest, BytesAfterS2GoToTheCaller) {
  RTMPHandshake h;
  Bytes s = serverS0S1S2();
  const Bytes chunk = {0x02, 0, 0, 0, 0, 0, 4, 1, 0, 0, 0, 0, 0, 0, 0x10, 0};
  s.insert(s.end(), chunk.begin(), chunk.end());
  // S0+S1 only: C2 can go out; S2 is not there yet.
  h.put(std::span<const uint8_t>(s).first(1537));
  EXPECT_FALSE(h.takeSurplus());
  ASSERT_TRUE(h.c2());
  EXPECT_FALSE(h.takeSurplus());
  h.put(std::span<const uint8_t>(s).subspan(1537, 1000));
  EXPECT_FALSE(h.takeSurplus());
  h.put(std::span<const uint8_t>(s).subspan(2537));
  const auto surplus = h.takeSurplus();
  ASSERT_TRUE(surplus);
  EXPECT_EQ(*surplus, chunk);
  EXPECT_TRUE(h.inputBuffer.empty());
}

TEST(HandshakeTest, C2NeedsS0AndS1) {
  RTMPHandshake h;
  h.put(Bytes(1536, 0));
  EXPECT_FALSE(h.c2());
}

TEST(HandshakeTest, TimeFieldWrapsInsteadOfOverflowing) {
  // 2^32 + 5 seconds after 1970.
  auto clock = std::make_shared<platform::FixedWallClock>(
      platform::Date(std::chrono::seconds(int64_t{4294967296} + 5)));
  RTMPHandshake h(clock);
  h.put(serverS0S1S2());
  const auto c2 = h.c2();
  ASSERT_TRUE(c2);
  EXPECT_EQ(Bytes(c2->begin() + 4, c2->begin() + 8), (Bytes{0, 0, 0, 5}));
  // After 2038 the field keeps counting upwards.
  RTMPHandshake later(std::make_shared<platform::FixedWallClock>(platform::makeUtcDate(2040, 1, 1)));
  later.put(serverS0S1S2());
  const auto c2b = later.c2();
  const uint32_t t = (uint32_t((*c2b)[4]) << 24) | ((*c2b)[5] << 16) | ((*c2b)[6] << 8) | (*c2b)[7];
  EXPECT_EQ(t, 2208988800u);
}

}  // namespace
