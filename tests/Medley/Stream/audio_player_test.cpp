#include <gtest/gtest.h>

#include "Medley/Sources/Stream/AudioPlayer.h"
#include "Medley/Sources/Stream/AudioPlayerNode.h"
#include "Medley/Stream/playback_test_support.h"
#include "Medley/Util/virtual_run.h"
#include "Platform/Audio/VirtualAudioOutput.h"
#include "Platform/Media/CompressedAudioBuffer.h"

namespace medley {
namespace {

using namespace playbacktest;
using medleytest::runNow;
using platform::AudioFormat;

const AudioFormat kStereo = AudioFormat::standard(48000, 2);

struct AudioPlayerNodeTest : ::testing::Test {
  std::shared_ptr<platform::VirtualRuntime> rt = platform::VirtualRuntime::make();
  std::shared_ptr<AudioPlayer> player =
      std::make_shared<AudioPlayer>(std::make_shared<platform::VirtualAudioOutput>(rt), rt);
  std::shared_ptr<AudioPlayerNode> node = runNow(rt, player->makePlayerNode());
  int64_t fed = 0;

  void SetUp() override { runNow(rt, node->startRunning()); }
  void feed(int buffers, const AudioFormat& format = kStereo, uint32_t frames = 1024) {
    for (int i = 0; i < buffers; ++i, fed += frames) runNow(rt, node->enqueue(tone(format, fed, frames)));
  }
};

TEST_F(AudioPlayerNodeTest, PlaybackStartsOnTheTenthWaitingBuffer) {
  feed(AudioPlayerNode::kPlaybackStartBufferCount - 1);
  EXPECT_FALSE(node->playerNode()->isPlaying());
  EXPECT_EQ(runNow(rt, node->currentTime()), 0.0);
  EXPECT_EQ(runNow(rt, node->scheduledAudioBuffers()), 9);
  feed(1);
  EXPECT_TRUE(node->playerNode()->isPlaying());
  // Nothing was lost to the connection that the first buffer's format started.
  EXPECT_EQ(runNow(rt, node->audioTime()).sampleTime(), 10 * 1024);

  rt->advance(platform::milliseconds(100));
  EXPECT_NEAR(runNow(rt, node->currentTime()), 0.1, 1e-9);
  EXPECT_EQ(runNow(rt, node->scheduledAudioBuffers()), 6) << "4 buffers (85 ms) played out";
  rt->advance(platform::seconds(1));
  EXPECT_NEAR(runNow(rt, node->currentTime()), 10 * 1024 / 48000.0, 1e-9) << "the position stops with the sound";
  EXPECT_EQ(runNow(rt, node->scheduledAudioBuffers()), 0);
}

TEST_F(AudioPlayerNodeTest, APausedNodeOnlyBuffers) {
  runNow(rt, node->setPaused(true));
  feed(20);
  EXPECT_FALSE(node->playerNode()->isPlaying());
  runNow(rt, node->setPaused(false));
  feed(1);
  EXPECT_TRUE(node->playerNode()->isPlaying());
}

TEST_F(AudioPlayerNodeTest, ANewFormatReconnectsAndAStopStartsAfresh) {
  feed(2);
  EXPECT_EQ(node->playerNode()->format(), kStereo);
  const auto mono = AudioFormat::standard(44100, 1);
  feed(1, mono);
  EXPECT_EQ(node->playerNode()->format(), mono);
  EXPECT_TRUE(runNow(rt, player->isConnected(node)));

  feed(12, mono);
  EXPECT_TRUE(node->playerNode()->isPlaying());
  runNow(rt, node->stopRunning());
  EXPECT_FALSE(node->playerNode()->isPlaying());
  EXPECT_FALSE(node->playerNode()->isConnected());
  EXPECT_FALSE(runNow(rt, player->isConnected(node)));
  EXPECT_FALSE(runNow(rt, node->audioTime()).hasAnchor());

  feed(1);
  EXPECT_TRUE(node->playerNode()->isConnected()) << "buffers after a stop connect the node again";
  EXPECT_EQ(runNow(rt, node->audioTime()).sampleTime(), 1024);
}

TEST_F(AudioPlayerNodeTest, CompressedBuffersAndDetachedNodesPlayNothing) {
  auto aac = platform::CompressedAudioBuffer::make(
      *AudioFormat::fromStreamDescription({48000, platform::audioFormatID::mpeg4AAC, 0, 0, 1024, 0, 2, 0}),
      1, 1024);
  runNow(rt, node->enqueue(aac));
  EXPECT_EQ(runNow(rt, node->scheduledAudioBuffers()), 0);

  runNow(rt, player->detach(node));
  feed(AudioPlayerNode::kPlaybackStartBufferCount);
  EXPECT_FALSE(node->playerNode()->isPlaying());
  EXPECT_EQ(runNow(rt, node->scheduledAudioBuffers()), 0);
}

TEST_F(AudioPlayerNodeTest, TheSoundTransformIsKeptAndApplied) {
  EXPECT_EQ(runNow(rt, node->soundTransform()), SoundTransform());
  runNow(rt, node->setSoundTransform({0.25f, -1.0f}));
  EXPECT_EQ(runNow(rt, node->soundTransform()), (SoundTransform{0.25f, -1.0f}));
}

TEST_F(AudioPlayerNodeTest, OneNodeStoppingLeavesAnotherPlaying) {
  auto other = runNow(rt, player->makePlayerNode());
  runNow(rt, other->startRunning());
  feed(10);
  for (int i = 0; i < 10; ++i) runNow(rt, other->enqueue(tone(kStereo, i * 1024, 1024)));
  runNow(rt, node->stopRunning());
  EXPECT_TRUE(other->playerNode()->isPlaying());
  rt->advance(platform::milliseconds(50));
  EXPECT_GT(runNow(rt, other->currentTime()), 0.0);
}

}  // namespace
}  // namespace medley
