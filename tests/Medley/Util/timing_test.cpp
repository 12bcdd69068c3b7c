#include <gtest/gtest.h>

#include "Medley/Sources/Util/AudioTime.h"
#include "Medley/Sources/Util/FrameTracker.h"
#include "Medley/Sources/Util/TypedBlockQueue.h"
#include "Platform/Media/PixelBuffer.h"

using medley::TypedBlockQueue;
using medley::TypedBlockQueueError;
using platform::MediaTime;

namespace {

platform::SampleBufferRef bufferAt(double seconds) {
  static auto picture = platform::PixelBuffer::make(16, 16, platform::PixelFormat::nv12VideoRange);
  platform::SampleTiming timing;
  timing.presentationTime = MediaTime::fromSeconds(seconds, 600);
  return platform::SampleBuffer::makeImage(picture, timing);
}

}  // namespace

TEST(AudioTimeTest, AnchorsOnTheFirstNumericTimeOnly) {
  medley::AudioTime time;
  time.anchor(MediaTime::invalid(), 48'000);
  EXPECT_FALSE(time.anchorTime().has_value());
  time.anchor(MediaTime(96'000, 48'000), 44'100);
  EXPECT_EQ(time.sampleTime(), 88'200);
  EXPECT_EQ(time.anchorTime()->hostTime, 2'000'000'000);
  time.anchor(MediaTime(1, 1), 8'000);
  time.anchor(platform::AudioTime::with(7, 7, 7));
  EXPECT_EQ(time.sampleTime(), 88'200);
  EXPECT_EQ(time.sampleRate(), 44'100);

  medley::AudioTime same;
  same.anchor(MediaTime(1'234'567, 48'000), 48'000);
  EXPECT_EQ(same.sampleTime(), 1'234'567);
}

// The codec's time base: positions advance from the anchor, host times follow at the anchor's rate.
TEST(AudioTimeTest, AdvancesFromItsAnchorOnTheHostClockOrAsAPositionOnly) {
  medley::AudioTime time;
  time.anchor(MediaTime(2'000'000'000, 1'000'000'000), 48'000);  // 2 s: sample 96000
  time.advance(1024);
  time.advance(1024);
  auto at = time.at();
  EXPECT_EQ(at.sampleTime, 96'000 + 2048);
  ASSERT_TRUE(at.hostTimeValid);
  EXPECT_EQ(at.hostTime, 2'000'000'000 + 42'666'666);  // 2048 frames at 48 kHz
  time.reset();
  EXPECT_FALSE(time.hasAnchor());

  // Decoded sound: position 44100 at 44.1 kHz counted at 48 kHz, no host time.
  time.anchor(44'100, 44'100, 48'000);
  time.anchor(MediaTime(1, 1), 48'000);  // the first anchor stays
  time.advance(960);
  EXPECT_EQ(time.at().sampleTime, 48'960);
  EXPECT_FALSE(time.at().hostTimeValid);
  medley::AudioTime unanchored;
  unanchored.anchor(5, 0, 48'000);  // no rate: nothing to count at
  EXPECT_FALSE(unanchored.hasAnchor());
}

TEST(TypedBlockQueueTest, DequeueByTimeGivesTheNewestDueBufferAndDropsOlderOnes) {
  TypedBlockQueue<> queue(3);
  queue.enqueue(bufferAt(3));
  queue.enqueue(bufferAt(1));
  queue.enqueue(bufferAt(2));
  EXPECT_EQ(queue.dequeue(MediaTime::fromSeconds(0.5, 600)), nullptr);
  auto due = queue.dequeue(MediaTime::fromSeconds(2.5, 600));
  ASSERT_NE(due, nullptr);
  EXPECT_EQ(due->presentationTime(), MediaTime::fromSeconds(2, 600));
  ASSERT_EQ(queue.count(), 1u);
  EXPECT_EQ(queue.dequeue(MediaTime::fromSeconds(3, 600))->presentationTime(), MediaTime::fromSeconds(3, 600));
  EXPECT_TRUE(queue.isEmpty());
  EXPECT_EQ(queue.dequeue(MediaTime::fromSeconds(10, 600)), nullptr);
}

TEST(TypedBlockQueueTest, RefusesBeyondCapacityAndBadInput) {
  TypedBlockQueue<> queue(2);
  queue.enqueue(bufferAt(1));
  queue.enqueue(bufferAt(1));  // equal times keep their order
  try {
    queue.enqueue(bufferAt(0));
    FAIL() << "a full queue took a buffer";
  } catch (const TypedBlockQueueError& error) {
    EXPECT_EQ(error.kind, TypedBlockQueueError::Kind::full);
  }
  EXPECT_THROW(queue.enqueue(nullptr), TypedBlockQueueError);
  EXPECT_THROW(TypedBlockQueue<>(-1), TypedBlockQueueError);

  TypedBlockQueue<> unlimited(0);
  for (int i = 0; i < 100; ++i) unlimited.enqueue(bufferAt(i));
  EXPECT_EQ(unlimited.count(), 100u);
}

TEST(FrameTrackerTest, CountsFramesPerSecondOfPresentationTime) {
  medley::FrameTracker tracker;
  tracker.rotated = MediaTime(10, 1);
  for (int i = 0; i < 30; ++i) tracker.update(MediaTime(300 + i, 30));  // 10 s .. 10.97 s
  EXPECT_EQ(tracker.frameRate, 0);
  tracker.update(MediaTime(330, 30));  // 11 s
  EXPECT_EQ(tracker.frameRate, 31);
  EXPECT_EQ(tracker.rotated, MediaTime(11, 1));
}
