#include <gtest/gtest.h>

#include <cmath>

#include "Quarzadel/Program/FrameGrid.h"
#include "program_test_support.h"

namespace quarzadel {
namespace {

platform::SampleBufferRef pictureAt(double seconds) {
  platform::SampleTiming timing;
  timing.presentationTime = platform::MediaTime::fromSeconds(seconds, 1000000000);
  return platform::SampleBuffer::makeImage(testing::flatPicture(16, 16, {100, 128, 128}), timing);
}

// What a reader of the stream sees: whole milliseconds.
int64_t millis(const platform::SampleBufferRef& picture) {
  return std::llround(picture->presentationTime().seconds() * 1000);
}

TEST(FrameGridTest, JitteredPicturesLandOnTheRateAndNeverShareOrReverseASlot) {
  FrameGrid grid(30);
  const double start = 1000.0;
  // A millisecond or two of jitter either way, then a picture that came late and
  // one that came early behind it: each still takes its own next slot.
  const double arrivals[] = {0, 0.0345, 0.0652, 0.1012, 0.1318, 0.2010, 0.2012, 0.2340};
  std::vector<int64_t> out;
  for (double t : arrivals) out.push_back(millis(grid.place(pictureAt(start + t))));
  const int64_t origin = out.front();
  std::vector<int64_t> offsets;
  for (int64_t t : out) offsets.push_back(t - origin);
  EXPECT_EQ(offsets, (std::vector<int64_t>{0, 33, 67, 100, 133, 200, 233, 267}));
}

TEST(FrameGridTest, APictureWithoutATimePassesUnchanged) {
  FrameGrid grid(30);
  platform::SampleTiming timing;
  auto untimed = platform::SampleBuffer::makeImage(testing::flatPicture(16, 16, {100, 128, 128}), timing);
  EXPECT_EQ(grid.place(untimed), untimed);
  EXPECT_EQ(grid.place(nullptr), nullptr);
}

}  // namespace
}  // namespace quarzadel
