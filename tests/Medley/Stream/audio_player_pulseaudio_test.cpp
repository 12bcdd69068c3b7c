// Playback through a real sound server started for the test: what the player
// plays is captured from the null sink's monitor and measured with sox.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <regex>
#include <thread>

#include "Medley/Sources/Stream/AudioPlayer.h"
#include "Medley/Sources/Stream/AudioPlayerNode.h"
#include "Medley/Sources/Stream/MediaLink.h"
#include "Logwell/ScopedLogCapture.h"
#include "Medley/Stream/playback_test_support.h"
#include "Platform/Audio/PulseAudioOutput.h"
#include "Platform/Concurrency/BlockingWait.h"
#include "Platform/Concurrency/Task.h"
#include "Platform/Files/ScopedEnv.h"
#include "peers/PulseAudioPeer.h"

extern char** environ;

namespace medley {
namespace {

using namespace playbacktest;
using platform::blockingWait;

using Capture = qztest::MonitorCapture;
using qztest::run;

double statOf(const std::string& stat, const std::string& name) {
  std::smatch m;
  if (!std::regex_search(stat, m, std::regex(name + R"(:\s+(-?[0-9.]+))"))) return -1;
  return std::stod(m[1]);
}

TEST(AudioPlayerOnASoundServer, PlaysAToneThatIsHeardAndPicturesFollowIt) {
  qztest::PulseAudioPeer peer;
  QZ_SKIP_UNLESS_PULSEAUDIO(peer);
  auto runtime = platform::Runtime::shared();
  auto context = platform::PulseAudioContext::connect({.server = peer.server()});
  auto output = std::make_shared<platform::PulseAudioOutput>(context, runtime, peer.sink());
  auto player = std::make_shared<AudioPlayer>(output, runtime);
  auto node = blockingWait(player->makePlayerNode());
  auto link = std::make_shared<MediaLink>(runtime);
  blockingWait(link->setAudioPlayer(node));
  blockingWait(node->startRunning());

  // Each released picture with the time heard when it left.
  struct Release {
    double due;
    double heard;
  };
  std::mutex mutex;
  std::vector<Release> releases;
  auto released = blockingWait(link->dequeue());
  auto watcher = platform::spawn(
      runtime->globalQueue(),
      [](platform::AsyncStream<platform::SampleBufferRef> s, std::shared_ptr<AudioPlayerNode> n, std::mutex* m,
         std::vector<Release>* out) -> platform::Async<void> {
        while (auto frame = co_await s.next()) {
          const double heard = co_await n->currentTime();
          std::lock_guard lock(*m);
          out->push_back({(*frame)->presentationTime().seconds(), heard});
        }
      },
      std::move(released), node, &mutex, &releases);
  blockingWait(link->startRunning());
  for (int i = 0; i < 60; ++i) blockingWait(link->enqueue(picture(i)));

  const auto file = peer.dir() / "capture.raw";
  Capture capture(peer, file);
  ASSERT_TRUE(capture.ok());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // parec connected and recording

  const auto format = platform::AudioFormat::standard(48000, 2);
  const int buffers = 2 * 48000 / 1024 + 1;  // 2 s
  for (int i = 0; i < buffers; ++i) blockingWait(node->enqueue(tone(format, int64_t(i) * 1024, 1024)));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (blockingWait(node->currentTime()) < 1.95 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  capture.stop();

  // The watcher reads the node's time: it finishes before the node stops.
  blockingWait(link->stopRunning());
  for (int i = 0; i < 500 && !watcher.isFinished(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(watcher.isFinished());
  blockingWait(node->stopRunning());

  const std::string stat =
      run("sox -t raw -r 48000 -e signed -b 16 -c 2 '" + file.string() + "' -n remix 1 stat");
  const double frequency = statOf(stat, "Rough   frequency");
  const double rms = statOf(stat, "RMS     amplitude");
  EXPECT_NEAR(frequency, 1000, 20) << stat;
  EXPECT_GT(rms, 0.1) << "the tone (0.5 peak) is heard: " << stat;

  std::lock_guard lock(mutex);
  ASSERT_GE(releases.size(), 50u);
  // The watcher reads the time a moment after the release, later still on a busy
  // machine: early is never allowed, late only for the odd picture.
  size_t onTime = 0;
  for (const auto& r : releases) {
    EXPECT_LE(r.due, r.heard + 0.005) << "a picture never leaves before its time";
    if (r.heard - r.due < 1.0 / 30 + 0.005) ++onTime;
  }
  EXPECT_GE(onTime * 10, releases.size() * 9) << "pictures leave within a frame interval of their time";
}

TEST(AudioPlayerOnASoundServer, TheOutputIsChosenOnceAndLogged) {
  qztest::PulseAudioPeer peer;
  QZ_SKIP_UNLESS_PULSEAUDIO(peer);
  platform::testing::ScopedEnv env;
  logwell::testing::ScopedLogCapture log{medley::logger()};

  env.set("PULSE_SERVER", peer.server());
  auto served = AudioPlayer::makeDefault();
  EXPECT_EQ(served->audioEngine()->description(), "pulseaudio " + peer.server());

  peer.stop();
  auto unserved = AudioPlayer::makeDefault();
  EXPECT_EQ(unserved->audioEngine()->description(), "virtual");

  const auto lines = log.messages(logwell::LWLogLevel::info);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "audio output: pulseaudio " + peer.server());
  EXPECT_EQ(lines[1].rfind("audio output: virtual (sound server " + peer.server(), 0), 0u) << lines[1];
}

}  // namespace
}  // namespace medley
