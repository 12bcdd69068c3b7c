// The copy's file name and where it goes, when it is not recorded, and the
// notices that report the outcome.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Platform/Concurrency/Task.h"
#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Dispatch/VirtualRuntime.h"
#include "Platform/Files/ScopedEnv.h"
#include "Quarzadel/Log/LogTestSupport.h"
#include "Quarzadel/Studio/LocalRecorder.h"
#include "Quarzadel/Studio/RecorderSlot.h"

namespace {

using quarzadel::LocalRecorder;
using quarzadel::RecorderNotice;
using quarzadel::RecorderSlot;

TEST(LocalCopyName, TheTitleMadeSafeForAFileName) {
  const std::vector<std::pair<std::string, std::string>> rows{
      {"100% \"live\" <a|b> *\\x", "100- -live- -a-b- --x"},
      {" \t Show \t", "Show"},
      {std::string("Night\0Show", 10), "Night-Show"},
      {"\t \t", "Quarzadel"},
      // Never a hidden file.
      {".hidden show", "hidden show"},
      {" . .. Show.", "Show."},
      {"...", "Quarzadel"},
      // Cut at 80 characters, never inside a UTF-8 sequence, nothing trimmed after.
      {std::string(78, 'x') + "\xF0\x9F\x8E\xA5\xE2\x82\xAC" + "tail", std::string(78, 'x') + "\xF0\x9F\x8E\xA5\xE2\x82\xAC"},
      {std::string(79, 'b') + " and more", std::string(79, 'b') + " "},
  };
  for (const auto& [title, name] : rows) EXPECT_EQ(LocalRecorder::baseName(title), name) << title;
}

class LocalCopyFolder : public testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }
  LocalRecorder::Environment environment() const { return {dir_, clock_, rt_, false, {}}; }
  std::optional<RecorderNotice> start(RecorderSlot& slot, std::optional<int64_t> space = int64_t{1} << 40) {
    return slot.startLocalCopy("Show", true, quarzadel::StreamConfig{}, *defaults_, environment(),
                               [space](const std::filesystem::path&) { return space; });
  }

  std::filesystem::path dir_ = platform::testing::scratchDirectory("local-copy-folder");
  std::shared_ptr<platform::VirtualRuntime> rt_ = platform::VirtualRuntime::make();
  std::shared_ptr<platform::FixedWallClock> clock_ =
      std::make_shared<platform::FixedWallClock>(platform::makeUtcDate(2026, 3, 7, 19, 5, 9));
  std::shared_ptr<platform::UserDefaults> defaults_ = platform::UserDefaults::inMemory();
};

TEST_F(LocalCopyFolder, NamedAfterTitleAndTimeAndNothingIsOverwritten) {
  EXPECT_EQ(LocalRecorder::make("A/B: C?", quarzadel::StreamConfig{}, environment())->url(),
            dir_ / "Quarzadel" / "A-B- C- 2026-03-07 19.05.09.mp4");
  // Two copies within the same second beside an earlier one: three names.
  const auto taken = dir_ / "Quarzadel" / "Show 2026-03-07 19.05.09.mp4";
  { std::ofstream(taken) << "an earlier copy"; }
  auto first = LocalRecorder::make("Show", quarzadel::StreamConfig{}, environment());
  auto second = LocalRecorder::make("Show", quarzadel::StreamConfig{}, environment());
  EXPECT_EQ(first->url().filename(), "Show 2026-03-07 19.05.09 2.mp4");
  EXPECT_NE(second->url(), taken);
  EXPECT_NE(second->url(), first->url());
  EXPECT_EQ(std::filesystem::file_size(taken), 15u);
}

TEST_F(LocalCopyFolder, StoppingBeforeAnyPictureLeavesNoFileAndNoNotice) {
  RecorderSlot slot;
  start(slot, std::nullopt);  // free space that cannot be read does not refuse the copy
  const auto url = *slot.recordingURL();
  EXPECT_TRUE(std::filesystem::exists(url));  // the name is taken from the start
  // Sound alone is never written.
  auto pcm = platform::PCMBuffer::make(platform::AudioFormat::standard(48000, 2), 480);
  pcm->setFrameLength(480);
  slot.appendAudio(pcm, platform::AudioTime::withHostTime(platform::seconds(1000)));
  auto task = platform::spawn(rt_->mainQueue(), slot.finishRecording());
  rt_->runUntilIdle();
  ASSERT_TRUE(task.isFinished());
  EXPECT_FALSE(task.result());
  EXPECT_FALSE(slot.recorder());
  EXPECT_FALSE(std::filesystem::exists(url));
}

TEST_F(LocalCopyFolder, AFolderThatCannotBeMadeOrAFailedCopyGivesAWarning) {
  { std::ofstream(dir_ / "file") << "x"; }
  dir_ /= "file";
  RecorderSlot slot;
  quarzadel::testing::LogCapture logs;
  const auto notice = start(slot).value_or(RecorderNotice{});
  EXPECT_TRUE(notice.text.starts_with("Couldn't record a copy on this computer: ")) << notice.text;
  // Starting the copy is the engine's step, and its line says so.
  const auto lines = logs.sessionLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].starts_with("[ERROR] [StudioEngine] Couldn't start the local recording: ")) << lines[0];
  EXPECT_EQ(notice.kind, RecorderNotice::Kind::warning);
  EXPECT_FALSE(slot.recorder());

  const auto failed = RecorderSlot::finishedNotice(std::nullopt, std::string("disk full"));
  EXPECT_EQ(failed.value_or(RecorderNotice{}).text, "The local copy couldn't be saved: disk full");
  EXPECT_EQ(failed.value_or(RecorderNotice{}).kind, RecorderNotice::Kind::warning);
  EXPECT_FALSE(RecorderSlot::finishedNotice(std::nullopt, std::nullopt)) << "no outcome, no notice";

  // A copy cut short keeps what it has, and says so with the way to it.
  const auto cut = RecorderSlot::finishedNotice(dir_ / "Show 1.mp4", std::string("packet: No space left on device"))
                       .value_or(RecorderNotice{});
  EXPECT_EQ(cut.text, "The local copy stopped early: packet: No space left on device. It plays up to then: Show 1.mp4");
  EXPECT_EQ(cut.kind, RecorderNotice::Kind::warning);
  EXPECT_EQ(cut.actionTitle, "Show in File Manager");
  EXPECT_EQ(RecorderSlot::finishedNotice(dir_ / "Show 1.mp4", std::nullopt).value_or(RecorderNotice{}).actionTitle,
            "Show in File Manager");
}

}  // namespace
