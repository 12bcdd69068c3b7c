#include <gtest/gtest.h>

#include <cstdlib>

#include "Platform/Dispatch/VirtualRuntime.h"
#include "Quarzadel/Capture/ScreenShare.h"
#include "Quarzadel/Capture/SyntheticScreenImage.h"
#include "Quarzadel/Capture/FakeScreenCapturer.h"
#include "Quarzadel/Program/program_test_support.h"

namespace quarzadel {
namespace {

using Target = platform::ScreenCaptureTarget;
using Content = ScreenShare::Content;
using testing::FakeCapturer;

const Target kDisplay{Target::Kind::display, 0, "Display 1", 3840, 2160};
const Target kWindow{Target::Kind::window, 0x400001, "Editor", 641, 480};

class ScreenShareTest : public ::testing::Test {
 protected:
  std::shared_ptr<platform::VirtualRuntime> runtime = platform::VirtualRuntime::make();
  std::shared_ptr<FakeCapturer> capturer = std::make_shared<FakeCapturer>();
  std::shared_ptr<platform::UserDefaults> defaults = platform::UserDefaults::inMemory();
  std::shared_ptr<ScreenShare> share = ScreenShare::make(capturer, runtime->mainQueue(), defaults);
  std::vector<std::string> calls;
  testing::LogCapture logs;

  void SetUp() override {
    share->onStarted = [this](Content c) { calls.push_back("started " + std::to_string(static_cast<int>(c))); };
    share->onStopped = [this](const std::optional<std::string>& r) { calls.push_back("stopped " + r.value_or("-")); };
  }
};

TEST(ScreenShareSizeTest, FitsTheOutputWithoutEnlargingAndKeepsSidesEven) {
  EXPECT_EQ(ScreenShare::captureSize(3024, 1964, 2, 1920, 1080), (std::pair{1662, 1080}));
  EXPECT_EQ(ScreenShare::captureSize(1281, 3, 1, 1920, 1080), (std::pair{1280, 2}));
}

TEST_F(ScreenShareTest, SharingStartsOneCaptureScaledToTheResolutionAndAChoiceUpdatesIt) {
  capturer->list = {kDisplay, kWindow};
  EXPECT_EQ(share->presentPicker(StreamConfig::Resolution::hd720), capturer->list);
  share->share(kDisplay);
  ASSERT_EQ(capturer->starts.size(), 1u);
  EXPECT_EQ(capturer->starts[0].width, 1280);
  EXPECT_EQ(capturer->starts[0].height, 720);
  EXPECT_EQ(share->content(), Content::display);

  auto picture = platform::PixelBuffer::make(16, 16, platform::PixelFormat::bgra);
  capturer->handlers.onFrame(picture, 5.0);
  share->share(kWindow);
  EXPECT_EQ(capturer->starts.size(), 1u) << "the running capture follows the new choice";
  ASSERT_EQ(capturer->updates.size(), 1u);
  EXPECT_EQ(capturer->updates[0].width, 640);
  EXPECT_EQ(share->frames()->latest()->first, picture) << "a change of content keeps the latest frame";
  EXPECT_EQ(share->content(), Content::window);

  share->stop();
  share->stop();  // nothing shared: no line, no call
  EXPECT_EQ(capturer->stops, 1);
  EXPECT_EQ(calls, (std::vector<std::string>{"started 0", "started 1", "stopped -"}));
  EXPECT_EQ(logs.sessionLines(), (std::vector<std::string>{"[INFO] [ScreenShare] Screen share started: Shared Screen 3840x2160 pt",
                                                           "[INFO] [ScreenShare] Screen share changed: Shared Window",
                                                           "[INFO] [ScreenShare] Screen share ended"}));
}

TEST_F(ScreenShareTest, AMissingDisplayOrACaptureThatCannotStartIsReportedAndNothingIsShared) {
  capturer->listError = "No X display is available.";
  EXPECT_TRUE(share->presentPicker(StreamConfig::Resolution::hd1080).empty());
  capturer->startError = "The X display :9 can't be opened.";
  share->share(kDisplay);
  EXPECT_EQ(calls, (std::vector<std::string>{"stopped Screen sharing isn't available: No X display is available.",
                                             "stopped Screen sharing couldn't start: The X display :9 can't be opened."}));
  EXPECT_FALSE(share->content());
}

TEST_F(ScreenShareTest, ACaptureEndingOnItsOwnStopsTheShareOnceOnTheMainQueue) {
  share->share(kWindow);
  capturer->handlers.onStop("The shared window was closed.");
  capturer->handlers.onStop("The shared window was closed.");
  EXPECT_TRUE(share->content()) << "the report reaches the share on its queue";
  runtime->runUntilIdle();
  EXPECT_FALSE(share->content());
  EXPECT_EQ(calls, (std::vector<std::string>{"started 1", "stopped The shared window was closed."}));
}

// B, G, R of a pixel, rows from the top.
std::array<int, 3> bgr(const platform::PixelBuffer& b, int x, int y) {
  const uint8_t* p = b.baseAddressOfPlane(0) + static_cast<size_t>(y) * b.bytesPerRowOfPlane(0) + x * 4;
  return {p[0], p[1], p[2]};
}

TEST_F(ScreenShareTest, APNGGivenForTheSyntheticShareIsWhatItShowsAndAMissingOneGivesThePattern) {
  testing::ScopedTempDir dir;
  const auto png = dir.path() / "slide.png";
  // Written by an independent tool: a 64 x 48 picture of one colour.
  const std::string cmd = "ffmpeg -loglevel error -y -f lavfi -i color=c=0x3366cc:s=64x48,format=rgb24 -frames:v 1 '" +
                          png.string() + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  defaults->set(SyntheticScreenImage::kDefaultsKey, png.string());
  share->startSynthetic();
  runtime->advance(0);
  auto image = share->frames()->latest()->first;
  ASSERT_EQ(image->width(), 64);
  ASSERT_EQ(image->height(), 48);
  EXPECT_EQ(bgr(*image, 0, 0), (std::array<int, 3>{0xcc, 0x66, 0x33}));
  EXPECT_EQ(bgr(*image, 63, 47), (std::array<int, 3>{0xcc, 0x66, 0x33}));
  runtime->advance(platform::seconds(3));
  EXPECT_EQ(share->frames()->latest()->first, image) << "loaded once, shown at every fire";

  defaults->set(SyntheticScreenImage::kDefaultsKey, (dir.path() / "missing.png").string());
  share->startSynthetic();
  runtime->advance(0);
  EXPECT_EQ(share->frames()->latest()->first->width(), 1920);
}

}  // namespace
}  // namespace quarzadel
