#include <gtest/gtest.h>

#include "Medley/Sources/Mixer/MediaMixer.h"
#include "Medley/Util/virtual_run.h"

using medley::MediaMixer;
using medley::MediaMixerTrackSelection;
using medleytest::runNow;
using Mode = MediaMixer::CaptureSessionMode;

namespace {

class RecordingOutput final : public medley::MediaMixerOutput {
 public:
  platform::Async<std::optional<uint8_t>> videoTrackId() override { co_return tracks.videoTrackId; }
  platform::Async<std::optional<uint8_t>> audioTrackId() override { co_return tracks.audioTrackId; }
  void mixer(MediaMixer&, const platform::SampleBufferRef&) override { ++pictures; }
  void mixer(MediaMixer&, const platform::PCMBufferRef&, const platform::AudioTime&) override { ++sounds; }
  platform::Async<void> selectTrack(std::optional<uint8_t> id, platform::MediaType mediaType) override {
    tracks.select(id, mediaType);
    co_return;
  }
  MediaMixerTrackSelection tracks;
  int pictures = 0;
  int sounds = 0;
};

}  // namespace

TEST(MediaMixerTest, OutputsAreKeptOnceEachInOrderAndRemovedByIdentity) {
  auto rt = platform::VirtualRuntime::make();
  auto mixer = std::make_shared<MediaMixer>(Mode::single, true, rt);
  auto a = std::make_shared<RecordingOutput>();
  auto b = std::make_shared<RecordingOutput>();
  runNow(rt, mixer->addOutput(a));
  runNow(rt, mixer->addOutput(b));
  runNow(rt, mixer->addOutput(a));
  auto outputs = runNow(rt, mixer->outputs());
  ASSERT_EQ(outputs.size(), 2u);
  EXPECT_EQ(outputs[0], a);
  EXPECT_EQ(outputs[1], b);
  runNow(rt, mixer->removeOutput(std::make_shared<RecordingOutput>()));
  runNow(rt, mixer->removeOutput(a));
  outputs = runNow(rt, mixer->outputs());
  ASSERT_EQ(outputs.size(), 1u);
  EXPECT_EQ(outputs[0], b);
}

TEST(MediaMixerTest, CaptureSessionModesCodeAsTheirRawValues) {
  for (auto mode : {Mode::single, Mode::multi, Mode::manual}) {
    nlohmann::json json = mode;
    EXPECT_EQ(json.get<std::string>(), MediaMixer::rawValue(mode));
    EXPECT_EQ(json.get<Mode>(), mode);
  }
  EXPECT_FALSE(MediaMixer::makeCaptureSessionMode("Manual").has_value());
  EXPECT_THROW(nlohmann::json("auto").get<Mode>(), nlohmann::json::exception);
  EXPECT_THROW(nlohmann::json(3).get<Mode>(), nlohmann::json::exception);
}

TEST(MediaMixerOutputTest, SelectingATrackChangesOnlyTheNamedKind) {
  auto rt = platform::VirtualRuntime::make();
  RecordingOutput output;
  runNow(rt, output.selectTrack(std::nullopt, platform::MediaType::video));
  runNow(rt, output.selectTrack(0, platform::MediaType::audio));
  runNow(rt, output.selectTrack(7, static_cast<platform::MediaType>(platform::fourCC("text"))));
  EXPECT_FALSE(runNow(rt, output.videoTrackId()).has_value());
  EXPECT_EQ(runNow(rt, output.audioTrackId()), uint8_t{0});
}
