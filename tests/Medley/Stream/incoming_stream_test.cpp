#include "Medley/Sources/Stream/IncomingStream.h"

#include <gtest/gtest.h>

#include <functional>

#include "Medley/Codec/audio_test_support.h"
#include "Medley/Sources/Codec/VideoCodec.h"
#include "Medley/Sources/ISO/ADTSHeader.h"
#include "Platform/Media/BlockBuffer.h"
#include "Platform/Media/CompressedAudioBuffer.h"
#include "Medley/Sources/Stream/AudioPlayer.h"
#include "Medley/Sources/Stream/AudioPlayerNode.h"
#include "Medley/Stream/playback_test_support.h"
#include "Medley/Util/virtual_run.h"
#include "Platform/Audio/VirtualAudioOutput.h"
#include "Platform/Media/PCMBuffer.h"

namespace medley {
namespace {

using namespace playbacktest;
using medleytest::runNow;
using platform::SampleBufferRef;

constexpr int kWidth = 320, kHeight = 180, kFrames = 150;

// 5 s of H.264 at 30 fps from our encoder, pictures 1…150 at i/30 s.
std::vector<SampleBufferRef> encodeVideo() {
  VideoCodecSettings settings;
  settings.videoSize = {double(kWidth), double(kHeight)};
  settings.bitRate = 1'500'000;
  settings.expectedFrameRate = 30;
  settings.allowFrameReordering = true;
  VideoCodec codec;
  codec.setSettings(settings);
  auto stream = codec.outputStream();
  codec.startRunning();
  for (int i = 1; i <= kFrames; ++i) {
    codec.append(videotest::makeFrame(videotest::makePicture(kWidth, kHeight, i), videotest::frameTime(i)));
    codec.completeFrames();
  }
  codec.stopRunning();
  return videotest::drain(stream);
}

// 5 s of AAC (48 kHz stereo) from our encoder.
std::vector<AudioCodec::Output> encodeAudio() {
  AudioCodec codec;
  audiotest::running(codec, AudioCodecSettings());
  audiotest::Reader reader(codec.outputStream());
  audiotest::feedSine(codec, audiotest::kStereo, 5 * 48000, 1024);
  codec.drain();
  codec.stopRunning();
  return reader.finish();
}

// The packets framed as one ADTS sample buffer, as a stream may receive sound.
SampleBufferRef adtsSampleBuffer(const std::vector<AudioCodec::Output>& packets) {
  std::vector<uint8_t> bytes;
  std::vector<size_t> sizes;
  for (const auto& [buffer, time] : packets) {
    auto packet = std::dynamic_pointer_cast<platform::CompressedAudioBuffer>(buffer);
    std::vector<uint8_t> frame(7 + packet->byteLength());
    EXPECT_TRUE(encodeADTS(*packet, frame));
    bytes.insert(bytes.end(), frame.begin(), frame.end());
    sizes.push_back(frame.size());
  }
  ADTSHeader header(bytes);
  platform::SampleTiming timing;
  timing.presentationTime = platform::MediaTime(3, 1);
  return platform::SampleBuffer::makeData(platform::BlockBuffer::copy(bytes), header.makeFormatDescription(), timing,
                                          sizes.size(), sizes);
}

struct IncomingStreamTest : ::testing::Test {
  std::shared_ptr<platform::VirtualRuntime> rt = platform::VirtualRuntime::make();
  std::shared_ptr<RecordingStream> owner = std::make_shared<RecordingStream>(rt);
  std::shared_ptr<IncomingStream> incoming = owner->incomingStream();

  void TearDown() override {
    runNow(rt, incoming->stopRunning());
    rt->runUntilIdle();
  }
  void ticks(int n) {
    for (int i = 0; i < n; ++i) rt->advance(kRefresh);
    rt->runUntilIdle();
  }
  // Received as a stream is, in real time: sound and pictures interleaved,
  // pictures in decode order. `between` runs after each picture.
  void receive(const std::vector<SampleBufferRef>& video, const std::vector<AudioCodec::Output>& audio,
               const std::function<void(size_t)>& between = nullptr) {
    size_t a = 0;
    for (size_t v = 0; v < video.size(); ++v) {
      runNow(rt, incoming->append(video[v]));
      while (a < audio.size() && audio[a].second.hostSeconds() <= audiotest::kStartHost / 1e9 + (v + 1) / 30.0) {
        runNow(rt, incoming->append(audio[a].first, audio[a].second));
        ++a;
      }
      ticks(2);
      if (between) between(v);
    }
    for (; a < audio.size(); ++a) runNow(rt, incoming->append(audio[a].first, audio[a].second));
    ticks(60 * 2);
  }
  void expectEveryPictureInOrder() {
    const auto pictures = owner->pictures();
    ASSERT_EQ(pictures.size(), size_t(kFrames));
    for (int i = 0; i < kFrames; ++i) {
      EXPECT_EQ(pictures[i]->presentationTime(), videotest::frameTime(i + 1)) << "picture " << i;
    }
  }
};

TEST_F(IncomingStreamTest, DecodesOurOwnH264AndAacAndHandsBackPacedPicturesAndSound) {
  const auto video = encodeVideo();
  const auto audio = encodeAudio();
  ASSERT_EQ(video.size(), size_t(kFrames));
  ASSERT_GE(audio.size(), 234u);

  auto player = std::make_shared<AudioPlayer>(std::make_shared<platform::VirtualAudioOutput>(rt), rt);
  runNow(rt, incoming->attachAudioPlayer(player));
  runNow(rt, incoming->startRunning());
  EXPECT_TRUE(runNow(rt, incoming->isRunning()));
  receive(video, audio);

  expectEveryPictureInOrder();
  const auto pictures = owner->pictures();
  double worst = 99;
  for (int i = 0; i < kFrames; ++i) {
    const auto source = videotest::makePicture(kWidth, kHeight, i + 1);
    worst = std::min(worst, videotest::lumaPSNR(*source, *pictures[i]->imageBuffer()));
  }
  EXPECT_GT(worst, 30.0);

  const auto sound = owner->sound();
  ASSERT_GE(sound.size(), 234u);
  uint64_t frames = 0;
  for (const auto& [buffer, when] : sound) {
    auto pcm = std::dynamic_pointer_cast<platform::PCMBuffer>(buffer);
    ASSERT_TRUE(pcm);
    EXPECT_EQ(pcm->format().sampleRate(), 48000);
    EXPECT_EQ(pcm->format().channelCount(), 2u);
    frames += pcm->frameLength();
  }
  EXPECT_NEAR(double(frames), 5 * 48000, 2048);
  EXPECT_GT(audiotest::bestCorrelation(audiotest::channelZero(sound), audiotest::kRate), 0.95);
}

TEST_F(IncomingStreamTest, APlayerAttachedDuringPlaybackPlaysTheRestAndPicturesKeepComing) {
  const auto video = encodeVideo();
  const auto audio = encodeAudio();
  auto output = std::make_shared<platform::VirtualAudioOutput>(rt);
  auto player = std::make_shared<AudioPlayer>(output, rt), later = std::make_shared<AudioPlayer>(output, rt);
  runNow(rt, incoming->attachAudioPlayer(player));
  auto first = std::dynamic_pointer_cast<AudioPlayerNode>(runNow(rt, incoming->audioPlayerNode()));
  runNow(rt, incoming->startRunning());
  std::shared_ptr<AudioPlayerNode> second;
  receive(video, audio, [&](size_t v) {
    if (v != kFrames / 2) return;
    runNow(rt, incoming->attachAudioPlayer(later));
    second = std::dynamic_pointer_cast<AudioPlayerNode>(runNow(rt, incoming->audioPlayerNode()));
  });
  ASSERT_TRUE(second);
  EXPECT_NE(first, second);
  EXPECT_TRUE(runNow(rt, second->isRunning()));
  // The second half of the sound, some 2.5 s, went through the new node.
  EXPECT_GT(runNow(rt, second->currentTime()), 2.0);
  expectEveryPictureInOrder();
}

TEST_F(IncomingStreamTest, WithoutAPlayerPicturesFollowTheTicksAndStopEndsTheRun) {
  runNow(rt, incoming->attachAudioPlayer(nullptr));
  EXPECT_EQ(runNow(rt, incoming->audioPlayerNode()), nullptr);
  EXPECT_EQ(runNow(rt, incoming->soundTransform()), std::nullopt);
  runNow(rt, incoming->startRunning());
  runNow(rt, incoming->startRunning());
  const auto video = encodeVideo();
  for (int i = 0; i < 40; ++i) runNow(rt, incoming->append(video[i]));
  ticks(31);
  EXPECT_EQ(owner->pictures().size(), 16u) << "the first at once, then one every second tick";

  runNow(rt, incoming->stopRunning());
  runNow(rt, incoming->stopRunning());
  EXPECT_FALSE(runNow(rt, incoming->isRunning()));
  ticks(60);
  EXPECT_EQ(owner->pictures().size(), 16u);
  EXPECT_FALSE(runNow(rt, incoming->mediaLink()->isRunning()));
  runNow(rt, incoming->append(video[0]));
  ticks(2);
  EXPECT_EQ(owner->pictures().size(), 16u) << "a picture appended while stopped goes nowhere";
}

TEST_F(IncomingStreamTest, AdtsSampleBuffersAreDecodedAndBuffersWithoutAFormatDropped) {
  auto packets = encodeAudio();
  packets.resize(3);
  runNow(rt, incoming->startRunning());
  runNow(rt, incoming->append(platform::SampleBuffer::makeData(platform::BlockBuffer::copy(std::vector<uint8_t>(16)),
                                                               nullptr, {}, 1, {16})));
  runNow(rt, incoming->append(adtsSampleBuffer(packets)));
  rt->runUntilIdle();
  const auto sound = owner->sound();
  ASSERT_EQ(sound.size(), 3u);
  for (const auto& [buffer, when] : sound) {
    auto pcm = std::dynamic_pointer_cast<platform::PCMBuffer>(buffer);
    ASSERT_TRUE(pcm);
    EXPECT_EQ(pcm->frameLength(), 1024u);
    EXPECT_EQ(pcm->format().sampleRate(), 48000);
  }
  EXPECT_TRUE(owner->pictures().empty());
}

TEST_F(IncomingStreamTest, APlayerNodeCarriesTheSoundTransformAndIsReplacedOnAttach) {
  auto player = std::make_shared<AudioPlayer>(std::make_shared<platform::VirtualAudioOutput>(rt), rt);
  runNow(rt, incoming->attachAudioPlayer(player));
  auto first = runNow(rt, incoming->audioPlayerNode());
  ASSERT_TRUE(first);
  runNow(rt, owner->setSoundTransform({0.5f, 0.25f}));
  EXPECT_EQ(runNow(rt, owner->soundTransform()), (SoundTransform{0.5f, 0.25f}));

  runNow(rt, incoming->attachAudioPlayer(player));
  auto second = runNow(rt, incoming->audioPlayerNode());
  EXPECT_NE(first, second);
  EXPECT_EQ(runNow(rt, incoming->soundTransform()), SoundTransform()) << "a new node starts with the defaults";
}

}  // namespace
}  // namespace medley
