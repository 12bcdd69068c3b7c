#include <gtest/gtest.h>

#include <vector>

#include "Medley/Screen/ScreenTestSupport.h"
#include "Medley/Sources/Mixer/VideoMixer.h"

using medley::VideoMixer;
using medley::VideoMixerSettings;
using Mode = VideoMixerSettings::Mode;
using medley::testing::frameAt;
using medley::testing::lumaAt;

namespace {

struct Recorder final : medley::VideoMixerDelegate {
  void videoMixerDidInput(VideoMixer&, uint8_t track, const platform::SampleBufferRef& b) override {
    inputs.push_back({track, b});
  }
  void videoMixerDidOutput(VideoMixer&, const platform::SampleBufferRef& b) override { outputs.push_back(b); }
  std::vector<std::pair<uint8_t, platform::SampleBufferRef>> inputs;
  std::vector<platform::SampleBufferRef> outputs;
};

}  // namespace

TEST(VideoMixerTest, EveryBufferIsAnInputAndOnlyTheMainTrackIsForwardedInPassthrough) {
  auto recorder = std::make_shared<Recorder>();
  VideoMixer mixer(recorder);
  auto a = frameAt(0, 64, 32), b = frameAt(0.1, 64, 32);
  mixer.append(0, a);
  mixer.append(1, b);
  ASSERT_EQ(recorder->inputs.size(), 2u);
  EXPECT_EQ(recorder->inputs[1].first, 1);
  ASSERT_EQ(recorder->outputs.size(), 1u);
  EXPECT_EQ(recorder->outputs[0], a);  // by reference, no copy
  EXPECT_EQ(mixer.currentPixelBuffer(), a->imageBuffer());
  EXPECT_EQ(mixer.inputFormats().size(), 2u);

  mixer.setSettings({Mode::offscreen, false, 0});
  mixer.append(0, frameAt(0.2, 64, 32));
  EXPECT_EQ(recorder->outputs.size(), 1u);
  EXPECT_EQ(mixer.currentPixelBuffer(), a->imageBuffer());
  EXPECT_EQ(recorder->inputs.size(), 3u);
}

TEST(VideoMixerTest, MutedPassthroughRepeatsTheLastPictureWithTheNewTiming) {
  auto recorder = std::make_shared<Recorder>();
  VideoMixer mixer(recorder);
  mixer.append(0, frameAt(0, 64, 32, 40));
  mixer.setSettings({Mode::passthrough, true, 0});
  auto next = frameAt(1, 64, 32, 220);
  mixer.append(0, next);
  ASSERT_EQ(recorder->outputs.size(), 2u);
  EXPECT_EQ(recorder->outputs[1], next);
  EXPECT_EQ(lumaAt(*next->imageBuffer(), 10, 10), 40);
  EXPECT_DOUBLE_EQ(next->presentationTime().seconds(), 1.0);
}

// A larger previous picture must not be copied past the end of a smaller new
// one, nor a smaller one read past its own end.
TEST(VideoMixerTest, MutedMixerNeverOverflowsWhenPicturesDifferInSize) {
  auto recorder = std::make_shared<Recorder>();
  VideoMixer mixer(recorder);
  mixer.setSettings({Mode::passthrough, true, 0});
  mixer.append(0, frameAt(0, 1920, 1080, 30));
  auto small = frameAt(1, 64, 48, 200);
  mixer.append(0, small);
  EXPECT_EQ(lumaAt(*small->imageBuffer(), 63, 47), 30);
  auto large = frameAt(2, 1280, 720, 250);
  mixer.append(0, large);
  EXPECT_EQ(lumaAt(*large->imageBuffer(), 10, 10), 30);   // inside the small picture
  EXPECT_EQ(lumaAt(*large->imageBuffer(), 1000, 600), 250);  // beyond it: untouched
  EXPECT_EQ(recorder->outputs.size(), 3u);
}

TEST(VideoMixerTest, DeadDelegateAndBufferWithoutFormatChangeNothingButTheRecord) {
  VideoMixer mixer;
  mixer.append(0, frameAt(0, 64, 32));
  EXPECT_EQ(mixer.inputFormats().size(), 1u);
  mixer.removeInputFormat(0);
  EXPECT_TRUE(mixer.inputFormats().empty());
  mixer.append(0, nullptr);
  EXPECT_TRUE(mixer.inputFormats().empty());
}

TEST(VideoMixerSettingsTest, CodesItsThreeKeysAndRefusesOthers) {
  VideoMixerSettings settings{Mode::offscreen, true, 3};
  nlohmann::json json = settings;
  EXPECT_EQ(json["mode"], "offscreen");
  EXPECT_EQ(json["isMuted"], true);
  EXPECT_EQ(json["mainTrack"], 3);
  EXPECT_EQ(json.get<VideoMixerSettings>(), settings);
  EXPECT_EQ(VideoMixerSettings{}, (VideoMixerSettings{Mode::passthrough, false, 0}));
  EXPECT_THROW(nlohmann::json::parse(R"({"mode":"composite","isMuted":false,"mainTrack":0})").get<VideoMixerSettings>(),
               nlohmann::json::exception);
  EXPECT_THROW(nlohmann::json::parse(R"({"mode":"offscreen","mainTrack":0})").get<VideoMixerSettings>(),
               nlohmann::json::exception);
  EXPECT_THROW(nlohmann::json::parse(R"({"mode":"offscreen","isMuted":false,"mainTrack":256})").get<VideoMixerSettings>(),
               nlohmann::json::exception);
}
