#include <gtest/gtest.h>

#include "Medley/Codec/video_test_support.h"
#include "Medley/Sources/Stream/RawPictureQueue.h"

using medley::RawPictureQueue;

namespace {

platform::SampleBufferRef pictureAt(int index, int fps) {
  static const auto picture = videotest::makePicture(16, 16, 0);
  return videotest::makeFrame(picture, videotest::frameTime(index, fps), fps);
}

}  // namespace

// The bound is time: at 60 pictures a second the queue holds twice as many as
// at 30, the oldest going first; one reader pass per stretch of waiting.
TEST(RawPictureQueue, HoldsASpanOfTimeWhateverTheRateAndWakesItsReaderOncePerPass) {
  for (int fps : {30, 60}) {
    RawPictureQueue queue(0.5);
    int passes = 0;
    for (int i = 0; i < 2 * fps; ++i) passes += queue.push(pictureAt(i, fps));
    EXPECT_EQ(passes, 1);
    EXPECT_EQ(queue.size(), static_cast<size_t>(fps / 2 + 1));
    EXPECT_EQ(queue.droppedCount(), static_cast<uint64_t>(2 * fps - fps / 2 - 1));
    EXPECT_EQ(queue.pop()->presentationTime(), videotest::frameTime(2 * fps - 1 - fps / 2, fps));
    // Still in the pass: a new picture needs no new reader until pop() finds none.
    EXPECT_FALSE(queue.push(pictureAt(2 * fps, fps)));
    while (queue.pop()) {
    }
    EXPECT_TRUE(queue.push(pictureAt(2 * fps + 1, fps)));
  }
  RawPictureQueue queue;
  EXPECT_FALSE(queue.push(nullptr));
  EXPECT_EQ(queue.size(), 0u);
}
