#include <gtest/gtest.h>

#include "RTMPMedley/RTMPTestSupport.h"
#include "RTMPMedley/Sources/RTMP/Chunk/RTMPHandshake.h"

using namespace rtmpmedley;
using rtmptest::Bytes;

namespace {

TEST(HandshakeTest, C2EchoesS1WithTheTimeOnceS1HasArrivedAndTheTimeWraps) {
  Bytes s(1 + 1536 + 1536);
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<uint8_t>(i * 31);  // any version is accepted
  for (const auto& [date, field] : std::vector<std::pair<platform::Date, uint32_t>>{
           {platform::makeUtcDate(2024, 1, 1), 1704067200u},
           {platform::Date(std::chrono::seconds(int64_t{4294967296} + 5)), 5u},
           {platform::makeUtcDate(2040, 1, 1), 2208988800u}}) {  // past 2038 it keeps counting
    RTMPHandshake h(std::make_shared<platform::FixedWallClock>(date));
    h.put(std::span<const uint8_t>(s).first(1536));
    EXPECT_FALSE(h.c2());
    h.put(std::span<const uint8_t>(s).subspan(1536, 1));
    const auto c2 = h.c2();
    ASSERT_TRUE(c2);
    ASSERT_EQ(c2->size(), 1536u);
    EXPECT_EQ(Bytes(c2->begin(), c2->begin() + 4), Bytes(s.begin() + 1, s.begin() + 5));
    EXPECT_EQ(Bytes(c2->begin() + 8, c2->end()), Bytes(s.begin() + 9, s.begin() + 1537));
    EXPECT_EQ((uint32_t((*c2)[4]) << 24) | ((*c2)[5] << 16) | ((*c2)[6] << 8) | (*c2)[7], field);
  }
}

}  // namespace
