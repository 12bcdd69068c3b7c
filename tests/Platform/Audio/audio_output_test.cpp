#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "Platform/Audio/AudioOutput.h"
#include "Platform/Audio/PulseAudioOutput.h"
#include "Platform/Audio/PulseAudioPlayback.h"
#include "Platform/Audio/VirtualAudioOutput.h"
#include "Platform/Dispatch/VirtualRuntime.h"
#include "Platform/Files/ScopedEnv.h"
#include "peers/PulseAudioPeer.h"

namespace platform {
namespace {

const AudioFormat kStereo = AudioFormat::standard(48000, 2);

std::shared_ptr<PCMBuffer> silence(const AudioFormat& format, uint32_t frames) {
  auto buffer = PCMBuffer::make(format, frames);
  buffer->setFrameLength(frames);
  buffer->zero();
  return buffer;
}

TEST(VirtualAudioOutput, PlaysAtTheRealRateAndStallsWhenDry) {
  auto rt = VirtualRuntime::make();
  VirtualAudioOutput output(rt);
  auto unit = output.makePlayerUnit();
  int completed = 0;
  unit->scheduleBuffer(silence(kStereo, 480), [&] { ++completed; });
  rt->runUntilIdle();
  EXPECT_EQ(completed, 1) << "a buffer given while disconnected is dropped at once";

  unit->connect(kStereo);
  for (int i = 0; i < 5; ++i) unit->scheduleBuffer(silence(kStereo, 480), [&] { ++completed; });
  EXPECT_EQ(unit->playedFrames(), std::nullopt);
  rt->advance(milliseconds(50));
  EXPECT_EQ(completed, 1) << "nothing plays before play()";

  unit->play();
  EXPECT_EQ(unit->playedFrames(), 0);
  rt->advance(milliseconds(25));
  EXPECT_EQ(unit->playedFrames(), 960);
  EXPECT_EQ(completed, 3);
  rt->advance(milliseconds(100));
  EXPECT_EQ(unit->playedFrames(), 2400) << "an underrun stalls the position";
  EXPECT_EQ(completed, 6);

  unit->scheduleBuffer(silence(AudioFormat::standard(44100, 2), 441), [&] { ++completed; });
  unit->scheduleBuffer(silence(kStereo, 4800), [&] { ++completed; });
  rt->runUntilIdle();
  EXPECT_EQ(completed, 7) << "another format is dropped";
  unit->stop();
  rt->runUntilIdle();
  EXPECT_EQ(completed, 8) << "stop drops what is scheduled";
  EXPECT_FALSE(unit->isPlaying());
  EXPECT_EQ(unit->playedFrames(), std::nullopt);
  EXPECT_TRUE(unit->isConnected());
  unit->disconnect();
  EXPECT_FALSE(unit->isConnected());
  EXPECT_THROW(unit->connect(AudioFormat()), AudioOutputError);
}

TEST(AudioOutput, FallsBackToTheVirtualOutputWithItsReason) {
  testing::ScopedEnv env;
  const auto dir = testing::scratchDirectory("no-sound-server");
  env.set("PULSE_SERVER", "unix:" + (dir / "none").string());
  auto choice = AudioOutput::makeDefault(VirtualRuntime::make(), milliseconds(300));
  ASSERT_TRUE(choice.output);
  EXPECT_EQ(choice.output->description(), "virtual");
  EXPECT_NE(choice.reason.find((dir / "none").string()), std::string::npos) << choice.reason;
}

TEST(PulseAudioPlayback, InterleavesEveryCommonFormat) {
  const AudioFormat planar(CommonFormat::float32, 48000, 2, false);
  auto a = PCMBuffer::make(planar, 2);
  a->setFrameLength(2);
  a->floatChannelData()[0][0] = 0.1f, a->floatChannelData()[0][1] = 0.2f;
  a->floatChannelData()[1][0] = -0.1f, a->floatChannelData()[1][1] = -0.2f;
  EXPECT_EQ(PulseAudioPlayback::interleavedFloat(*a), (std::vector<float>{0.1f, -0.1f, 0.2f, -0.2f}));

  const AudioFormat int16(CommonFormat::int16, 48000, 2, true);
  auto b = PCMBuffer::make(int16, 1);
  b->setFrameLength(1);
  b->int16ChannelData()[0][0] = 16384, b->int16ChannelData()[0][1] = -32768;
  EXPECT_EQ(PulseAudioPlayback::interleavedFloat(*b), (std::vector<float>{0.5f, -1.0f}));
}

TEST(PulseAudioPlayback, PlaysOnAPrivateServerAndItsPositionFollowsTheSound) {
  qztest::PulseAudioPeer peer;
  QZ_SKIP_UNLESS_PULSEAUDIO(peer);
  auto context = PulseAudioContext::connect({.server = peer.server()});
  PulseAudioOutput output(context, Runtime::shared(), peer.sink());
  EXPECT_EQ(output.description(), "pulseaudio " + peer.server());
  auto unit = output.makePlayerUnit();
  unit->connect(kStereo);
  ASSERT_TRUE(unit->isConnected());
  std::atomic<int> completed{0};
  for (int i = 0; i < 30; ++i) unit->scheduleBuffer(silence(kStereo, 1600), [&] { ++completed; });  // 1 s
  unit->setVolume(0.5f);
  unit->setPan(-0.5f);
  unit->play();
  const auto started = std::chrono::steady_clock::now();
  // The position moves, and is never ahead of the time that passed (plus the
  // server's buffer); a busy machine may only start it late.
  std::optional<int64_t> position;
  for (int i = 0; i < 300; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    position = unit->playedFrames();
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_TRUE(position);
    ASSERT_LE(*position, elapsed * 48000 + 4800) << "after " << elapsed << " s";
    if (*position > 9600) break;
  }
  EXPECT_GT(*position, 9600);
  for (int i = 0; i < 500 && (completed < 30 || unit->playedFrames() != 48000); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(completed, 30);
  EXPECT_EQ(unit->playedFrames(), 48000) << "the position stops at the end of the sound";

  unit->stop();
  EXPECT_EQ(unit->playedFrames(), std::nullopt);
  unit->disconnect();
  EXPECT_FALSE(unit->isConnected());
}

}  // namespace
}  // namespace platform
