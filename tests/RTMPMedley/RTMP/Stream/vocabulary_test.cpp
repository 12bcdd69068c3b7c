// The stream's status vocabulary, its outgoing timestamps and its counters.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "RTMPMedley/Sources/RTMP/Stream/RTMPStream.h"

using namespace rtmpmedley;
using Code = RTMPStream::Code;

TEST(StreamVocabularyTest, CodesAndPublishTypesReadBackOnlyFromTheirExactText) {
  for (size_t i = 0; i < RTMPStream::kCodeCount; ++i) {
    const auto code = static_cast<Code>(i);
    const std::string raw(RTMPStream::rawValue(code));
    EXPECT_EQ(RTMPStream::makeCode(raw), code) << raw;
    std::string lower = raw;
    for (auto& c : lower) c = static_cast<char>(std::tolower(c));
    EXPECT_FALSE(RTMPStream::makeCode(lower)) << raw;
    EXPECT_FALSE(RTMPStream::makeCode(raw + " ")) << raw;
  }
  for (auto type : {RTMPStream::HowToPublish::record, RTMPStream::HowToPublish::append,
                    RTMPStream::HowToPublish::appendWithGap, RTMPStream::HowToPublish::live})
    EXPECT_EQ(RTMPStream::makeHowToPublish(RTMPStream::rawValue(type)), type);
  EXPECT_FALSE(RTMPStream::makeHowToPublish("Live"));
}

TEST(StreamTimestampTest, TimesThatCannotFollowAreRefusedWithoutChange) {
  // Media stamped from zero: the first picture is a key frame and must not be lost.
  RTMPTimestamp timestamp;
  EXPECT_EQ(timestamp.update(0.0), 0u);
  EXPECT_EQ(timestamp.update(2.0), 2000u);
  EXPECT_EQ(timestamp.update(2.0105), 10u);
  const double fraction = timestamp.timedeltaFraction();
  for (double t : {2.0105, 2.0, std::nan(""), -1.0}) {
    try {
      timestamp.update(t);
      ADD_FAILURE() << t;
    } catch (const RTMPTimestamp::Error& e) {
      EXPECT_EQ(e.kind(), RTMPTimestamp::Error::Kind::invalidSequence);
    }
  }
  // More than the 32-bit field holds, or an infinite delta: dropped the same way.
  for (double t : {2.0105 + 4294967.296, std::numeric_limits<double>::infinity()}) {
    try {
      timestamp.update(t);
      ADD_FAILURE() << t;
    } catch (const RTMPTimestamp::Error& e) {
      EXPECT_EQ(e.kind(), RTMPTimestamp::Error::Kind::outOfRange);
    }
  }
  EXPECT_DOUBLE_EQ(timestamp.updatedAt(), 2.0105);
  EXPECT_DOUBLE_EQ(timestamp.timedeltaFraction(), fraction);
  // The next good time counts from the last accepted one.
  EXPECT_EQ(timestamp.update(2.0305), 20u);
}

TEST(StreamInfoTest, RollsOverAndSaturates) {
  RTMPStreamInfo info;
  info.add(380000);
  info.rollOver();
  info.add(120000);
  info.rollOver();
  EXPECT_EQ(info.currentBytesPerSecond, 120000);
  EXPECT_EQ(info.previousByteCount, 500000);
  info.rollOver();
  EXPECT_EQ(info.currentBytesPerSecond, 0);
  info.add(-5);
  EXPECT_EQ(info.byteCount, 500000);
  info.add(std::numeric_limits<int64_t>::max());
  EXPECT_EQ(info.byteCount, std::numeric_limits<int64_t>::max());
  info.rollOver();
  EXPECT_EQ(info.currentBytesPerSecond, std::numeric_limits<int64_t>::max() - 500000);
}
