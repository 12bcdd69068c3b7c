// The stream's status vocabulary, its timestamps and its counters.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "RTMPMedley/Sources/RTMP/Stream/RTMPStream.h"

using namespace rtmpmedley;
using Code = RTMPStream::Code;

TEST(StreamVocabularyTest, StatusTable) {
  // Every code reads back from its own text, case-sensitively and whole.
  for (size_t i = 0; i < RTMPStream::kCodeCount; ++i) {
    const auto code = static_cast<Code>(i);
    const std::string raw(RTMPStream::rawValue(code));
    EXPECT_EQ(RTMPStream::makeCode(raw), code) << raw;
    std::string lower = raw;
    for (auto& c : lower) c = static_cast<char>(std::tolower(c));
    EXPECT_FALSE(RTMPStream::makeCode(lower)) << raw;
    EXPECT_FALSE(RTMPStream::makeCode(raw + " ")) << raw;
    // Only the one warning; the error codes are those that fail an action.
    const auto level = RTMPStream::level(code);
    if (code == Code::playInsufficientBW) EXPECT_EQ(level, "warning");
    else EXPECT_TRUE(level == "status" || level == "error") << raw;
  }
  EXPECT_EQ(RTMPStream::makeCode("NetStream.Publish.Start"), Code::publishStart);
  EXPECT_EQ(RTMPStream::rawValue(Code::recordDiskQuotaExceeded), "NetStream.Record.DiskQuotaExceeded");
  EXPECT_EQ(RTMPStream::rawValue(Code::videoDimensionChange), "NetStream.Video.DimensionChange");
  EXPECT_EQ(RTMPStream::level(Code::publishBadName), "error");
  EXPECT_EQ(RTMPStream::level(Code::recordAlreadyExists), "status");
  EXPECT_EQ(RTMPStream::level(Code::playNoSupportedTrackFound), "status");
  EXPECT_EQ(RTMPStream::level(Code::seekInvalidTime), "error");
  size_t errors = 0;
  for (size_t i = 0; i < RTMPStream::kCodeCount; ++i) errors += RTMPStream::level(static_cast<Code>(i)) == "error";
  EXPECT_EQ(errors, 12u);

  for (auto type : {RTMPStream::HowToPublish::record, RTMPStream::HowToPublish::append,
                    RTMPStream::HowToPublish::appendWithGap, RTMPStream::HowToPublish::live})
    EXPECT_EQ(RTMPStream::makeHowToPublish(RTMPStream::rawValue(type)), type);
  EXPECT_EQ(RTMPStream::rawValue(RTMPStream::HowToPublish::live), "live");
  EXPECT_FALSE(RTMPStream::makeHowToPublish("Live"));
}

TEST(StreamTimestampTest, DeltasCarryTheFractions) {
  RTMPTimestamp timestamp;
  std::vector<uint32_t> deltas;
  for (int i = 0; i < 10; ++i) deltas.push_back(timestamp.update(1.0 + i / 64.0));
  EXPECT_EQ(deltas, (std::vector<uint32_t>{0, 15, 16, 15, 16, 16, 15, 16, 16, 15}));
  uint32_t sum = 0;
  for (size_t i = 1; i < 9; ++i) sum += deltas[i];
  EXPECT_EQ(sum, 125u);
}

TEST(StreamTimestampTest, TimesThatCannotFollowAreRefusedWithoutChange) {
  RTMPTimestamp timestamp;
  EXPECT_EQ(timestamp.update(2.0), 0u);
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

TEST(StreamTimestampTest, AFirstTimeOfZeroIsSent) {
  // Media stamped from zero: the first picture is a key frame and must not be lost.
  RTMPTimestamp timestamp;
  EXPECT_EQ(timestamp.update(0.0), 0u);
  EXPECT_EQ(timestamp.update(1 / 30.0), 33u);
  EXPECT_THROW(timestamp.update(0.0), RTMPTimestamp::Error);
}

TEST(StreamTimestampTest, ReceivedTimesAreAbsoluteOnChunkTypeZero) {
  RTMPTimestamp timestamp;
  timestamp.receive(2000, true);
  EXPECT_DOUBLE_EQ(timestamp.startedAt(), 2.0);
  EXPECT_DOUBLE_EQ(timestamp.updatedAt(), 2.0);
  timestamp.receive(23, false);
  EXPECT_DOUBLE_EQ(timestamp.updatedAt(), 2.023);
  timestamp.receive(3000, true);
  EXPECT_DOUBLE_EQ(timestamp.startedAt(), 2.0);
  EXPECT_DOUBLE_EQ(timestamp.updatedAt(), 3.0);
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
  info.resourceName = "key";
  info.byteCount = 1;
  info.currentBytesPerSecond = 2;
  info.previousByteCount = 3;
  EXPECT_EQ(info.debugDescription(),
            "RTMPStreamInfo{byteCount: 1,resourceName: key,currentBytesPerSecond: 2,previousByteCount: 3}");
}
