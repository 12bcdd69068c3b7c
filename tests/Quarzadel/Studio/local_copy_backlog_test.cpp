// A copy whose queue stalls (a busy machine starting the encoders) keeps only a
// bounded length of pictures and sound waiting; what it drops is counted and
// logged, never lost silently, and the copy goes on once the queue runs again.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>
#include <vector>

#include "Platform/Dispatch/Runtime.h"
#include "Platform/Files/ScopedEnv.h"
#include "Platform/Media/PCMBufferPool.h"
#include "Quarzadel/Log/LogTestSupport.h"
#include "program_copy_support.h"

namespace {

struct LocalCopyBacklog : testing::Test {
  std::filesystem::path dir_ = platform::testing::scratchDirectory("local-copy-backlog");
};

// The session log's lines that contain `text`.
std::vector<std::string> linesWith(const std::vector<std::string>& lines, const std::string& text) {
  std::vector<std::string> found;
  for (const auto& line : lines) {
    if (line.find(text) != std::string::npos) found.push_back(line);
  }
  return found;
}

// What the program hands out over `seconds`, kept by the test instead of going to the copy.
struct HeldProgram {
  std::vector<platform::SampleBufferRef> pictures;
  std::vector<std::pair<platform::PCMBufferRef, platform::AudioTime>> sound;
};
HeldProgram holdProgram(studiotest::ProgramCopy& live, double seconds) {
  HeldProgram held;
  auto copies = platform::PCMBufferPool::make(0);
  live.video->onOutput = [&held](const platform::SampleBufferRef& frame) { held.pictures.push_back(frame); };
  live.audio->onOutput = [&held, copies](const platform::PCMBufferRef& buffer, const platform::AudioTime& when) {
    held.sound.emplace_back(copies->copy(*buffer), when);
  };
  live.run(seconds);
  live.video->onOutput = [](const platform::SampleBufferRef&) {};
  live.audio->onOutput = [](const platform::PCMBufferRef&, const platform::AudioTime&) {};
  return held;
}

TEST_F(LocalCopyBacklog, AStalledCopyKeepsABoundedLengthAndCountsAndLogsWhatItDrops) {
  quarzadel::testing::LogCapture logs;
  studiotest::ProgramCopy live;
  live.start(dir_, "Stall");
  live.run(1.0);
  const auto recorder = live.slot->recorder();
  ASSERT_TRUE(recorder);
  EXPECT_EQ(recorder->droppedVideoFrames(), 0);

  // A second of pictures and two of sound come while the copy's queue does not run.
  auto [pictures, sound] = holdProgram(live, 2.0);
  ASSERT_GE(pictures.size(), 59u);
  pictures.resize(30);
  int64_t soundFrames = 0, largest = 0;
  for (const auto& [buffer, when] : sound) {
    recorder->appendAudio(buffer, when);
    soundFrames += buffer->frameLength();
    largest = std::max<int64_t>(largest, buffer->frameLength());
  }
  for (const auto& picture : pictures) recorder->appendVideo(picture);
  ASSERT_NEAR(soundFrames, 2 * 48'000, 4'800);

  // The pictures of the backlog's length and a second of sound wait; the rest is counted.
  // Pictures the encoder was too busy to take at the last step may wait too.
  const auto held = static_cast<int64_t>(quarzadel::LocalRecorder::kVideoBacklogSeconds * 30 + 1e-9);
  const int64_t droppedPictures = recorder->droppedVideoFrames();
  EXPECT_GE(droppedPictures, 30 - held);
  EXPECT_LE(droppedPictures, 30 - held + static_cast<int64_t>(medley::AssetWriter::Input::kEncoderQueueMost));
  // Sound that gathered for its turn before the stall waits too.
  const auto gathered = static_cast<int64_t>(quarzadel::LocalRecorder::kAudioBatchSeconds * 48'000);
  EXPECT_GE(recorder->droppedAudioFrames(), soundFrames - 48'000);
  EXPECT_LE(recorder->droppedAudioFrames(), soundFrames - 48'000 + largest + gathered);
  EXPECT_EQ(linesWith(logs.sessionLines(), "Recording behind, dropping sound: " + recorder->url().filename().string())
                .size(),
            1u)
      << "said once, when the dropping starts";

  // The queue runs again and the copy goes on; its finish says how much sound went.
  auto slot = live.slot;
  live.video->onOutput = [slot](const platform::SampleBufferRef& frame) { slot->appendVideo(frame); };
  live.audio->onOutput = [slot](const platform::PCMBufferRef& buffer, const platform::AudioTime& when) {
    slot->appendAudio(buffer, when);
  };
  live.run(1.0);
  const auto notice = live.finish().value_or(quarzadel::RecorderNotice{});
  EXPECT_TRUE(notice.text.starts_with("Saved a copy of your stream: Stall ")) << notice.text;
  const auto lines = logs.sessionLines();
  const auto dropped = linesWith(lines, "Recording dropped sound: " + recorder->url().filename().string() + " ");
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_TRUE(dropped[0].ends_with(" " + std::to_string(recorder->droppedAudioFrames() * 1000 / 48'000) + " ms"))
      << dropped[0];
  EXPECT_GE(recorder->droppedVideoFrames(), droppedPictures);
  EXPECT_EQ(linesWith(lines, " dropped=" + std::to_string(recorder->droppedVideoFrames())).size(), 1u)
      << "the pictures dropped, in the finished line";
}

// A machine too busy for the copy's encoder: each picture comes as soon as the
// last one went to the encoder, so one is always waiting. The sound between them
// must still get its turn instead of waiting behind the pictures until dropped.
TEST_F(LocalCopyBacklog, SoundKeepsItsTurnWhilePicturesComeAsFastAsTheEncoderTakesThem) {
  studiotest::ProgramCopy live;
  live.start(dir_ / "program", "Program");
  const auto [pictures, sound] = holdProgram(live, 2.0);
  ASSERT_GE(pictures.size(), 59u);

  auto runtime = std::make_shared<platform::ThreadRuntime>(2);
  const auto recorder = quarzadel::LocalRecorder::make(
      "Busy", live.config, {dir_ / "busy", platform::WallClock::system(), runtime, false, {}});
  size_t next = 0;
  for (const auto& picture : pictures) {
    recorder->appendVideo(picture);
    const auto shown = picture->presentationTime();
    for (; next < sound.size() && platform::MediaTime::fromNanos(sound[next].second.hostTime) <= shown; ++next) {
      recorder->appendAudio(sound[next].first, sound[next].second);
    }
    while (recorder->heldPictures() > 0) std::this_thread::yield();
  }
  recorder->queue()->sync([] {});
  EXPECT_EQ(recorder->droppedAudioFrames(), 0);
  EXPECT_EQ(recorder->droppedVideoFrames(), 0);
}

}  // namespace
