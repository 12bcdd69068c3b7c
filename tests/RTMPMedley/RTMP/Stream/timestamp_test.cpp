// The stream's outgoing timestamps and its byte counters.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "RTMPMedley/Sources/RTMP/Stream/RTMPStream.h"

using namespace rtmpmedley;
using Kind = RTMPTimestamp::Error::Kind;

TEST(StreamTimestampTest, TimesThatCannotFollowAreRefusedWithoutChange) {
  // Media stamped from zero: the first picture is a key frame and must not be lost.
  RTMPTimestamp timestamp;
  EXPECT_EQ(timestamp.update(0.0), 0u);
  EXPECT_EQ(timestamp.update(2.0), 2000u);
  EXPECT_EQ(timestamp.update(2.0105), 10u);
  const double fraction = timestamp.timedeltaFraction();
  // Backwards, repeated or not a time; more than the 32-bit field holds, or an infinite delta.
  const std::vector<std::pair<double, Kind>> refused = {
      {2.0105, Kind::invalidSequence}, {2.0, Kind::invalidSequence}, {std::nan(""), Kind::invalidSequence},
      {-1.0, Kind::invalidSequence}, {2.0105 + 4294967.296, Kind::outOfRange},
      {std::numeric_limits<double>::infinity(), Kind::outOfRange}};
  for (const auto& [t, kind] : refused) {
    SCOPED_TRACE(t);
    try {
      timestamp.update(t);
      ADD_FAILURE();
    } catch (const RTMPTimestamp::Error& e) {
      EXPECT_EQ(e.kind(), kind);
    }
  }
  EXPECT_DOUBLE_EQ(timestamp.timedeltaFraction(), fraction);
  // The next good time counts from the last accepted one.
  EXPECT_EQ(timestamp.update(2.0305), 20u);
}

TEST(StreamInfoTest, CountsSaturateInsteadOfOverflowing) {
  RTMPStreamInfo info;
  info.add(500000);
  info.rollOver();
  info.add(std::numeric_limits<int64_t>::max());
  EXPECT_EQ(info.byteCount, std::numeric_limits<int64_t>::max());
  info.rollOver();
  EXPECT_EQ(info.currentBytesPerSecond, std::numeric_limits<int64_t>::max() - 500000);
}
