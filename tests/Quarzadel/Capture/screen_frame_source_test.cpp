#include <gtest/gtest.h>

#include "Platform/Dispatch/VirtualRuntime.h"
#include "Quarzadel/Capture/ScreenFrameSource.h"

namespace quarzadel {
namespace {

using platform::milliseconds;

class ScreenFrameSourceTest : public ::testing::Test {
 protected:
  std::shared_ptr<platform::VirtualRuntime> runtime = platform::VirtualRuntime::make();
  std::shared_ptr<platform::SerialQueue> queue = platform::SerialQueue::make("program-video", runtime);
  std::shared_ptr<ScreenFrames> frames = std::make_shared<ScreenFrames>();
  std::shared_ptr<ScreenFrameSource> source = std::make_shared<ScreenFrameSource>(frames);
  std::vector<std::pair<platform::PixelBufferRef, double>> got;
  platform::PixelBufferRef a = platform::PixelBuffer::make(16, 16, platform::PixelFormat::bgra);
  platform::PixelBufferRef b = platform::PixelBuffer::make(16, 16, platform::PixelFormat::bgra);

  double now() const { return runtime->nowSeconds(); }
  void start() {
    queue->async([this] {
      source->start(queue, [this](platform::PixelBufferRef buf, double t) { got.emplace_back(buf, t); },
                    [](const std::string&) { ADD_FAILURE() << "the screen source never fails"; });
    });
    runtime->advance(0);  // the first tick is due at once
  }
};

TEST_F(ScreenFrameSourceTest, AStillScreenArrivesAboutThirtyTimesASecondWithIncreasingTimes) {
  frames->push(a, now());
  start();
  ASSERT_EQ(got.size(), 1u) << "the picture already there is delivered at once";
  runtime->advance(platform::seconds(2));
  EXPECT_NEAR(static_cast<double>(got.size()), 61.0, 1.0);
  for (size_t k = 1; k < got.size(); ++k) {
    EXPECT_EQ(got[k].first, a);
    EXPECT_NEAR(got[k].second - got[k - 1].second, 1.0 / 30, 0.002);
  }
}

TEST_F(ScreenFrameSourceTest, EqualOrEarlierTimesAreStepped) {
  start();
  EXPECT_TRUE(got.empty()) << "nothing before the first frame";
  const double t = now();
  frames->push(a, t);
  frames->push(b, t);
  frames->push(a, t - 1);
  runtime->runUntilIdle();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_DOUBLE_EQ(got[0].second, t);
  EXPECT_DOUBLE_EQ(got[1].second, t + 0.001);
  EXPECT_DOUBLE_EQ(got[2].second, t + 0.002);
}

TEST_F(ScreenFrameSourceTest, ANewFrameGoesAtOnceAndTheNextTickWithinThirtyMillisecondsSendsNothing) {
  frames->push(a, now());
  start();                               // tick at 0 delivers a
  runtime->advance(milliseconds(23));    // 10 ms before the tick at 33 ms
  frames->push(b, now());
  runtime->runUntilIdle();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].first, b);
  runtime->advance(milliseconds(11));  // the tick at 33 ms: 10 ms after b
  EXPECT_EQ(got.size(), 2u);
  runtime->advance(milliseconds(34));  // the tick at 67 ms re-sends b
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[2].first, b);
}

TEST_F(ScreenFrameSourceTest, AfterStopOrReleaseNothingArrives) {
  EXPECT_TRUE(source->prefersFit()) << "a shared screen is fitted whole";
  frames->push(a, now());
  start();
  queue->async([this] { source->stop(); });
  runtime->runUntilIdle();
  const size_t count = got.size();
  frames->push(b, now());
  runtime->advance(platform::seconds(1));
  EXPECT_EQ(got.size(), count);
  EXPECT_EQ(frames->consumerCount(), 0u);

  frames = std::make_shared<ScreenFrames>();
  source = std::make_shared<ScreenFrameSource>(frames);
  start();
  frames->push(a, now());  // enqueued on the delivery queue
  source.reset();
  runtime->advance(platform::seconds(1));
  EXPECT_EQ(got.size(), count);
}

}  // namespace
}  // namespace quarzadel
