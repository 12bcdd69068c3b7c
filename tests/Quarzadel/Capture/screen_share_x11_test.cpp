#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "Platform/Capture/X11ScreenCapturer.h"
#include "Platform/Media/PixelConversion.h"
#include "Quarzadel/Capture/ScreenFrameSource.h"
#include "Quarzadel/Capture/ScreenShare.h"
#include "Quarzadel/Program/ProgramVideo.h"
#include "peers/XvfbServer.h"

namespace quarzadel {
namespace {

struct Sample {
  double pts;
  uint8_t y[3];
  uint8_t cb, cr;
};

// Sharing a still screen of one colour under a real X server, end to end through
// the program picture on the process's own threads.
TEST(ScreenShareX11Test, ASolidDisplayBecomesWholeProgramPicturesOfItsColourAtThirtyPerSecond) {
  qztest::XvfbServer x("1280x720x24");
  ASSERT_TRUE(x.ok()) << "Xvfb did not start";
  ASSERT_TRUE(x.run("xsetroot -solid '#3366cc'"));

  auto runtime = platform::Runtime::shared();
  auto main = platform::SerialQueue::make("test-main", runtime);
  auto capturer = std::make_shared<platform::X11ScreenCapturer>(x.display(), runtime);
  std::shared_ptr<ScreenShare> share = ScreenShare::make(capturer, main, nullptr);
  std::vector<platform::ScreenCaptureTarget> targets;
  main->sync([&] {
    targets = share->presentPicker(StreamConfig::Resolution::hd720);
    ASSERT_FALSE(targets.empty());
    share->share(targets[0]);
  });
  ASSERT_TRUE(share->content());

  StreamConfig config;
  config.resolution = StreamConfig::Resolution::hd720;
  auto program = ProgramVideo::make(config, Framing::fill, CameraTransition::cut, runtime);
  std::mutex m;
  std::vector<Sample> out;
  program->onOutput = [&](const platform::SampleBufferRef& frame) {
    const auto& b = *frame->imageBuffer();
    const auto yp = b.plane(0), uv = b.plane(1);
    Sample s{frame->presentationTime().seconds(),
             {yp.data[0], yp.data[360 * yp.bytesPerRow + 640], yp.data[719 * yp.bytesPerRow + 1279]},
             uv.data[180 * uv.bytesPerRow + 640],
             uv.data[180 * uv.bytesPerRow + 641]};
    std::lock_guard lock(m);
    out.push_back(s);
  };
  program->start();
  program->switchTo(std::make_shared<ScreenFrameSource>(share->frames()));
  std::this_thread::sleep_for(std::chrono::milliseconds(2600));
  program->stop();
  main->sync([&] { share->stop(); });
  program->queue()->sync([] {});

  // What the program's own conversion makes of the colour.
  uint8_t bgra[16];
  for (int k = 0; k < 4; ++k) bgra[4 * k] = 0xcc, bgra[4 * k + 1] = 0x66, bgra[4 * k + 2] = 0x33, bgra[4 * k + 3] = 255;
  uint8_t ey[4], euv[2];
  platform::convertBGRAToBT709NV12(bgra, 8, 2, 2, ey, 2, euv, 2);

  std::lock_guard lock(m);
  ASSERT_GT(out.size(), 30u);
  // About 30 per second in the last two seconds, after the switch has settled: the
  // typical spacing is a frame interval, and a loaded machine that delays some
  // re-sends past the program's thinning loses few.
  const double end = out.back().pts;
  std::vector<double> gaps;
  for (size_t k = 0; k < out.size(); ++k) {
    if (k > 0) EXPECT_GT(out[k].pts, out[k - 1].pts);
    if (k > 0 && out[k].pts > end - 2.0) gaps.push_back(out[k].pts - out[k - 1].pts);
    for (uint8_t y : out[k].y) EXPECT_NEAR(y, ey[0], 2) << "frame " << k;
    EXPECT_NEAR(out[k].cb, euv[0], 2);
    EXPECT_NEAR(out[k].cr, euv[1], 2);
  }
  const size_t inLastTwo = gaps.size();
  std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
  EXPECT_NEAR(gaps[gaps.size() / 2], 1.0 / 30, 0.004);
  EXPECT_GE(inLastTwo, 45u);
  EXPECT_LE(inLastTwo, 62u);
}

}  // namespace
}  // namespace quarzadel
