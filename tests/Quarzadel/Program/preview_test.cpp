#include <gtest/gtest.h>

#include "Platform/Dispatch/VirtualRuntime.h"
#include "Quarzadel/Program/PreviewSink.h"
#include "program_test_support.h"

namespace quarzadel {
namespace {

platform::SampleBufferRef frame(uint8_t luma) {
  platform::SampleTiming timing;
  timing.presentationTime = platform::MediaTime(5, 1);
  return platform::SampleBuffer::makeImage(testing::flatPicture(64, 36, {luma, 128, 128}), timing);
}

class PreviewTest : public ::testing::Test {
 protected:
  std::shared_ptr<platform::VirtualRuntime> rt = platform::VirtualRuntime::make();
  std::shared_ptr<PreviewLayer> layer = std::make_shared<PreviewLayer>();
  std::shared_ptr<PreviewSink> sink = PreviewSink::make(rt, layer);
};

TEST_F(PreviewTest, FramesAreShownAtOnceAndAFailedRendererIsFlushedFirst) {
  auto first = frame(1);
  sink->enqueue(first);
  EXPECT_EQ(layer->displayedFrame(), first);
  EXPECT_TRUE(first->attachments(0).displayImmediately);
  EXPECT_EQ(sink->latestFrame(), first->imageBuffer());
  layer->reportFailure();  // as a window that could not draw it does
  auto next = frame(2);
  sink->enqueue(next);
  EXPECT_EQ(layer->flushCount(), 1);
  EXPECT_EQ(layer->enqueuedCount(), 2);
  EXPECT_EQ(layer->displayedFrame(), next);
  sink->enqueue(frame(3));
  EXPECT_EQ(layer->flushCount(), 1);
}

TEST_F(PreviewTest, HostViewKeepsTheLayerFillingAndCentredAcrossResizes) {
  PreviewHostView view(sink);
  // Mirroring happens on the main queue, only when it changes.
  sink->setMirrored(false), rt->runUntilIdle();
  EXPECT_EQ(layer->transformChanges(), 0);
  sink->setMirrored(true);
  EXPECT_FALSE(layer->isMirrored());  // not before the main queue runs
  sink->setMirrored(true), rt->runUntilIdle();
  EXPECT_EQ(layer->transformChanges(), 1);
  view.layout(800, 600);
  view.layout(1000, 300);
  EXPECT_EQ(layer->bounds(), (PreviewLayer::Rect{0, 0, 1000, 300}));
  EXPECT_EQ(layer->position(), std::make_pair(500.0, 150.0));
  EXPECT_TRUE(layer->isMirrored());
  // A 16:9 picture in 1000 x 300: 533 wide, centred, black either side.
  const auto fitted = PreviewLayer::aspectFit(1920, 1080, layer->bounds());
  EXPECT_NEAR(fitted.width, 533.33, 0.01);
  EXPECT_NEAR(fitted.x, (1000 - 533.33) / 2, 0.01);
  EXPECT_DOUBLE_EQ(fitted.height, 300);
}

}  // namespace
}  // namespace quarzadel
