#include <gtest/gtest.h>

#include "Medley/Stream/stream_test_support.h"
#include "Medley/Sources/Stream/StreamVideoAdaptiveBitRateStrategy.h"

using namespace medleytest;
using medley::SoundTransform;

namespace {

struct StreamDefaultsTest : testing::Test {
  std::shared_ptr<platform::VirtualRuntime> rt = platform::VirtualRuntime::make();
  std::shared_ptr<FakeStream> stream = std::make_shared<FakeStream>(rt);
};

}  // namespace

TEST_F(StreamDefaultsTest, OutputsAreKeptOnceEachInOrderAndRemovedByIdentity) {
  auto a = std::make_shared<NullOutput>();
  auto b = std::make_shared<NullOutput>();
  runNow(rt, stream->addOutput(a));
  runNow(rt, stream->addOutput(b));
  runNow(rt, stream->addOutput(a));
  ASSERT_EQ(stream->outputs().size(), 2u);
  EXPECT_EQ(stream->outputs()[0], a);
  EXPECT_EQ(stream->outputs()[1], b);

  runNow(rt, stream->removeOutput(std::make_shared<NullOutput>()));
  EXPECT_EQ(stream->outputs().size(), 2u);
  runNow(rt, stream->removeOutput(a));
  ASSERT_EQ(stream->outputs().size(), 1u);
  EXPECT_EQ(stream->outputs()[0], b);
}

TEST_F(StreamDefaultsTest, WithoutAPlayerThereIsNoTransformAndSettingOneDoesNothing) {
  EXPECT_FALSE(runNow(rt, stream->soundTransform()).has_value());
  runNow(rt, stream->setSoundTransform(SoundTransform{0.1f, 0.2f}));
  runNow(rt, stream->attachAudioPlayer(nullptr));

  stream->playback = std::make_shared<FakePlayback>("playback", rt);
  EXPECT_FALSE(runNow(rt, stream->soundTransform()).has_value()) << "a playback half without a node";
  runNow(rt, stream->setSoundTransform(SoundTransform{0.1f, 0.2f}));
}

TEST_F(StreamDefaultsTest, TransformGoesToAndComesFromThePlayerNode) {
  stream->playback = std::make_shared<FakePlayback>("playback", rt);
  auto node = std::make_shared<FakeNode>("node", rt);
  stream->playback->node = node;
  EXPECT_EQ(runNow(rt, stream->soundTransform()), (SoundTransform{0.5f, -0.25f}));
  runNow(rt, stream->setSoundTransform(SoundTransform{0.8f, 1.0f}));
  EXPECT_EQ(node->transform, (SoundTransform{0.8f, 1.0f}));
  runNow(rt, stream->attachAudioPlayer(nullptr));
  EXPECT_EQ(stream->playback->attachCalls, 1);
}

TEST_F(StreamDefaultsTest, SettingsAndBufferCountsAreTheOutgoingHalfs) {
  auto video = medley::VideoCodecSettings();
  video.bitRate = 1'234'000;
  runNow(rt, stream->setVideoSettings(video));
  EXPECT_EQ(runNow(rt, stream->videoSettings()).bitRate, 1'234'000);
  EXPECT_EQ(stream->outgoingStream().videoCodec().settings().bitRate, 1'234'000);

  medley::AudioCodecSettings audio;
  audio.bitRate = 96'000;
  runNow(rt, stream->setAudioSettings(audio));
  EXPECT_EQ(runNow(rt, stream->audioSettings()).bitRate, 96'000);

  runNow(rt, stream->setVideoInputBufferCounts(4));
  EXPECT_EQ(stream->outgoingStream().videoInputBufferCounts(), 4);
}

TEST_F(StreamDefaultsTest, StrategyIsStoredAndClearedWithNone) {
  auto strategy = std::make_shared<medley::StreamVideoAdaptiveBitRateStrategy>(1'000'000, rt);
  runNow(rt, stream->setBitRateStrategy(strategy));
  EXPECT_EQ(stream->bitRateStrategy(), strategy);
  runNow(rt, stream->setBitRateStrategy(nullptr));
  EXPECT_EQ(stream->bitRateStrategy(), nullptr);
}

TEST(StreamValuesTest, ReadyStateRawValuesAndSoundTransformDefaults) {
  EXPECT_EQ(medley::makeStreamReadyState(0), medley::StreamReadyState::idle);
  EXPECT_EQ(medley::makeStreamReadyState(4), medley::StreamReadyState::publishing);
  EXPECT_FALSE(medley::makeStreamReadyState(5).has_value());
  EXPECT_FALSE(medley::makeStreamReadyState(-1).has_value());

  SoundTransform transform;
  EXPECT_EQ(transform, (SoundTransform{1.0f, 0.0f}));
  EXPECT_EQ(transform.debugDescription(), "SoundTransform{volume: 1.0,pan: 0.0}");
}
