#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <unistd.h>

#include "Medley/Sources/Screen/AssetScreenObject.h"
#include "Medley/Sources/Screen/ScreenObjectContainer.h"
#include "Medley/Sources/Screen/ScreenRendererByCPU.h"

namespace medley {
namespace {

class ManualClock : public platform::Clock {
 public:
  platform::Nanos now() const override { return now_; }
  void advance(platform::Nanos by) { now_ += by; }

 private:
  platform::Nanos now_ = platform::seconds(100);
};

// A 2 s, 30 frames per second, 1920 x 1080 movie made by ffmpeg.
const std::string& movie() {
  static const std::string path = [] {
    const std::string p = ::testing::TempDir() + "asset_2s_" + std::to_string(getpid()) + ".mp4";
    const std::string cmd = "ffmpeg -v error -y -f lavfi -i testsrc2=s=1920x1080:r=30:d=2 -c:v libx264 -preset ultrafast "
                            "-pix_fmt yuv420p " + p;
    return std::system(cmd.c_str()) == 0 ? p : std::string();
  }();
  return path;
}

struct Stage {
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  std::shared_ptr<ScreenObjectContainer> root = std::make_shared<ScreenObjectContainer>();
  std::shared_ptr<AssetScreenObject> asset = std::make_shared<AssetScreenObject>("movie", clock);
  ScreenRendererByCPU renderer;
  Stage() {
    root->setSize({1280, 720});
    asset->setSize({400, 400});
    root->addChild(asset);
  }
  void tick() {
    renderer.setTarget(platform::PixelBuffer::make(1280, 720, platform::PixelFormat::nv12VideoRange));
    root->layout(renderer);
    root->draw(renderer);
    renderer.render();
  }
};

TEST(AssetScreenObject, PlaysAMovieOnTheHostClockInItsAspect) {
  ASSERT_FALSE(movie().empty());
  Stage s;
  s.asset->startReading(movie());
  ASSERT_TRUE(s.asset->isReading());
  ASSERT_TRUE(s.asset->sampleBuffer());
  std::vector<double> shown;
  int ticks = 0;
  // 60 draws a second for 2.5 s.
  while (ticks < 150) {
    s.tick();
    if (s.asset->sampleBuffer()) shown.push_back(s.asset->sampleBuffer()->presentationTime().seconds());
    if (ticks == 0) EXPECT_EQ(s.asset->bounds(), (ScreenRect{0, 0, 400, 225}));
    s.clock->advance(platform::kNanosPerSecond / 60);
    ++ticks;
  }
  ASSERT_TRUE(s.renderer.picture(*s.asset));
  EXPECT_EQ(s.renderer.picture(*s.asset)->width(), 400);
  EXPECT_EQ(s.renderer.picture(*s.asset)->height(), 225);
  // Each of the 60 frames is shown for about two draws, then the track ends and lets the reader go.
  EXPECT_GE(shown.size(), 115u);
  EXPECT_LE(shown.size(), 122u);
  EXPECT_NEAR(shown.back(), 59 / 30.0, 1e-6);
  for (size_t i = 1; i < shown.size(); ++i) EXPECT_GE(shown[i], shown[i - 1]);
  EXPECT_FALSE(s.asset->isReading());
  EXPECT_FALSE(s.asset->reader());
  EXPECT_FALSE(s.asset->sampleBuffer());
}

TEST(AssetScreenObject, AReplacedReaderIsCancelledAndNeverReadAgain) {
  ASSERT_FALSE(movie().empty());
  Stage s;
  s.asset->startReading(movie());
  const auto first = s.asset->reader();
  s.asset->startReading(movie());
  EXPECT_EQ(first->status(), AssetReader::Status::cancelled);
  const long read = first->packetsRead();
  EXPECT_FALSE(first->copyNextSampleBuffer());
  EXPECT_EQ(first->packetsRead(), read);

  s.asset->stopReading();
  EXPECT_FALSE(s.asset->isReading());
  s.tick();  // draws without a reader
  EXPECT_THROW(s.asset->startReading(::testing::TempDir() + "missing.mp4"), AssetReaderError);
}

TEST(AssetScreenObject, DrawingSlowerThanTheMovieFallsBehind) {
  ASSERT_FALSE(movie().empty());
  Stage s;
  s.asset->setVideoGravity(layerVideoGravity::resizeAspectFill);
  s.asset->startReading(movie());
  for (int i = 0; i < 10; ++i) {
    s.tick();
    s.clock->advance(platform::kNanosPerSecond / 10);
  }
  EXPECT_EQ(s.asset->bounds(), (ScreenRect{0, 0, 400, 400}));
  // One frame per draw: after a second of 10 Hz draws the movie is only 10 frames in.
  ASSERT_TRUE(s.asset->sampleBuffer());
  EXPECT_NEAR(s.asset->sampleBuffer()->presentationTime().seconds(), 10 / 30.0, 1e-6);
}

}  // namespace
}  // namespace medley
