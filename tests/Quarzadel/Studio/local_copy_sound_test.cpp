// The copy's sound between pictures: it goes to its encoder with the next
// picture's turn on the recorder's queue, or in a turn of its own once some
// has gathered, never one turn per sound buffer; while the pictures pause the
// sound still reaches the file.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <sstream>
#include <thread>

#include "CommandOutput.h"
#include "Medley/Stream/recorder_media.h"
#include "Platform/Files/ScopedEnv.h"
#include "Quarzadel/Studio/LocalRecorder.h"

namespace {

using quarzadel::LocalRecorder;

// Virtual time that counts the jobs posted to it: a queue's turns.
class CountingRuntime final : public platform::Runtime {
 public:
  std::shared_ptr<platform::VirtualRuntime> inner = platform::VirtualRuntime::make();
  int posts = 0;

  platform::Nanos now() const override { return inner->now(); }
  void post(platform::Job job) override {
    ++posts;
    inner->post(std::move(job));
  }
  void postMain(platform::Job job) override { inner->postMain(std::move(job)); }
  TimerId postAt(platform::Nanos when, platform::Job job) override { return inner->postAt(when, std::move(job)); }
  bool cancel(TimerId id) override { return inner->cancel(id); }
  bool isVirtual() const override { return true; }
  void runUntil(const std::function<bool()>& done) override { inner->runUntil(done); }
  void runUntilIdle() { inner->runUntilIdle(); }
};

TEST(LocalCopySound, SoundGathersForATurnOfItsOwnAndIsWrittenWhilePicturesPause) {
  const auto dir = platform::testing::scratchDirectory("local-copy-sound");
  auto rt = std::make_shared<CountingRuntime>();
  const quarzadel::StreamConfig config{quarzadel::StreamConfig::Resolution::hd720};
  auto recorder = LocalRecorder::make("Sound", config, {dir, platform::WallClock::system(), rt, false, {}});
  recorder->appendVideo(medleytest::recorderPicture(config.width(), config.height(), 0));
  rt->runUntilIdle();

  // Half a second of sound and no more pictures; each buffer 21 ms long.
  constexpr int kBuffers = 24;
  int turns = 0;
  for (int i = 0; i < kBuffers; ++i) {
    const int before = rt->posts;  // everything before has run: only this buffer can ask for a turn
    recorder->appendAudio(medleytest::recorderSound(i), medleytest::recorderSoundTime(i));
    turns += rt->posts - before;
    rt->runUntilIdle();
  }
  EXPECT_GE(turns, kBuffers / 4);
  EXPECT_LE(turns, kBuffers / 2);

  std::optional<std::filesystem::path> saved;
  bool done = false;
  recorder->finish([&](auto url, auto) {
    saved = url;
    done = true;
  });
  while (!done) {
    rt->runUntilIdle();
    if (!done) std::this_thread::yield();
  }
  ASSERT_TRUE(saved);
  EXPECT_EQ(recorder->droppedAudioFrames(), 0);
  // Every whole AAC packet of the sound handed over is in the file (the last one padded).
  const auto packets = qztest::runCommand("ffprobe -v error -select_streams a -count_packets -show_entries "
                                          "stream=nb_read_packets -of csv=p=0 '" + saved->string() + "'");
  EXPECT_GE(std::stoi(packets.text), kBuffers);
}

}  // namespace
