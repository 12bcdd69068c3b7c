#include <gtest/gtest.h>

#include "Medley/Screen/ScreenTestSupport.h"
#include "Medley/Sources/Screen/ChromaKeyProcessor.h"
#include "Medley/Sources/Screen/Screen.h"

namespace medley {
namespace {

TEST(ChromaKeyProcessor, KeysOutTheColourWithASoftEdge) {
  ChromaKeyProcessor green({0, 1, 0, 1});
  // BT.709 video-range green: Cb 42, Cr 26.
  EXPECT_EQ(green.coverage(42, 26), 0);
  EXPECT_EQ(green.coverage(128, 128), 255) << "grey stays";
  EXPECT_EQ(green.coverage(240, 118), 255) << "blue stays";
  const uint8_t edge = green.coverage(42 + 32, 26);
  EXPECT_GT(edge, 0);
  EXPECT_LT(edge, 255);
}

TEST(ChromaKeyProcessor, AKeyedCameraShowsTheBackgroundThrough) {
  Screen screen;
  screen.setBackgroundColor({1, 0, 0, 1});
  auto video = screen.videoTrackScreenObject();
  video->registerVideoEffect(std::make_shared<ChromaKeyProcessor>(ScreenColor{0, 1, 0, 1}));
  // Left half green screen, right half grey.
  auto frame = testing::solidPicture(1280, 720, 173, 42, 26);
  for (int y = 0; y < 720; ++y)
    for (int x = 640; x < 1280; ++x) frame->plane(0).data[y * frame->plane(0).bytesPerRow + x] = 128;
  for (int y = 0; y < 360; ++y)
    for (int x = 320; x < 640; ++x) {
      frame->plane(1).data[y * frame->plane(1).bytesPerRow + 2 * x] = 128;
      frame->plane(1).data[y * frame->plane(1).bytesPerRow + 2 * x + 1] = 128;
    }
  platform::SampleTiming t;
  t.presentationTime = platform::MediaTime::zero();
  video->queue()->enqueue(platform::SampleBuffer::makeImage(frame, t));
  auto out = screen.makeSampleBuffer({1, 1.016});
  ASSERT_TRUE(out);
  EXPECT_EQ(testing::lumaAt(*out->imageBuffer(), 100, 100), 63) << "red background through the key";
  EXPECT_EQ(testing::lumaAt(*out->imageBuffer(), 1000, 100), 128);
}

}  // namespace
}  // namespace medley
