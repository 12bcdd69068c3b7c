// The copy's file name and where it goes, when it is not recorded, and the
// notices that report the outcome.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "Platform/Concurrency/Task.h"
#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Dispatch/VirtualRuntime.h"
#include "Platform/Files/ScopedEnv.h"
#include "Quarzadel/Studio/LocalRecorder.h"
#include "Quarzadel/Studio/RecorderSlot.h"
#include "Quarzadel/Studio/RevealFile.h"

namespace {

using quarzadel::LocalRecorder;
using quarzadel::RecorderNotice;
using quarzadel::RecorderSlot;

std::string repeated(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

TEST(LocalCopyName, TheTitleMadeSafeForAFileName) {
  const std::vector<std::pair<std::string, std::string>> rows{
      {"A/B: C?", "A-B- C-"},
      {"100% \"live\" <a|b> *\\x", "100- -live- -a-b- --x"},
      {"  /  ", "-"},
      {" \t Show \t", "Show"},
      {"\nShow", "\nShow"},  // line breaks are not trimmed
      {std::string("Night\0Show", 10), "Night-Show"},
      {"", "Quarzadel"},
      {"\t \t", "Quarzadel"},
      // Cut at 80 characters, never inside a UTF-8 sequence, nothing trimmed after.
      {std::string(100, 'a'), std::string(80, 'a')},
      {repeated("\xC3\xA9", 100), repeated("\xC3\xA9", 80)},
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
  LocalRecorder::Environment environment() const {
    LocalRecorder::Environment e;
    e.moviesFolder = dir_;
    e.runtime = rt_;
    e.wallClock = clock_;
    return e;
  }
  std::optional<RecorderNotice> start(RecorderSlot& slot, const std::string& title = "Show") {
    return slot.startLocalCopy(title, true, quarzadel::StreamConfig{}, *defaults_, environment(),
                               [](const std::filesystem::path&) { return std::optional<int64_t>(int64_t{1} << 40); });
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

  // A second start while recording keeps the first copy.
  RecorderSlot slot;
  start(slot, "First");
  const auto recording = slot.recorder();
  start(slot, "Second");
  EXPECT_EQ(slot.recorder(), recording);
}

TEST_F(LocalCopyFolder, FreeSpaceThatCannotBeReadDoesNotRefuseTheCopy) {
  EXPECT_EQ(LocalRecorder::freeSpace(dir_, [](const std::filesystem::path&) { return std::optional<int64_t>(); }),
            std::numeric_limits<int64_t>::max());
  const auto real = LocalRecorder::statvfsSpace(dir_ / "not" / "made" / "yet");
  ASSERT_TRUE(real);
  EXPECT_GT(*real, 0);
}

TEST_F(LocalCopyFolder, AFolderThatCannotBeMadeGivesTheCouldNotRecordNotice) {
  { std::ofstream(dir_ / "file") << "x"; }
  RecorderSlot slot;
  auto e = environment();
  e.moviesFolder = dir_ / "file";
  const auto notice = slot.startLocalCopy("Show", true, quarzadel::StreamConfig{}, *defaults_, e,
                                          [](const std::filesystem::path&) { return std::optional<int64_t>(); });
  ASSERT_TRUE(notice);
  EXPECT_EQ(notice->text.rfind("Couldn't record a copy on this Mac: ", 0), 0u) << notice->text;
  EXPECT_EQ(notice->kind, RecorderNotice::Kind::warning);
  EXPECT_FALSE(slot.recorder());
}

TEST_F(LocalCopyFolder, StoppingBeforeAnyPictureLeavesNoFileAndNoNotice) {
  RecorderSlot slot;
  start(slot);
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

TEST(LocalCopyNotices, AFailedCopyIsAWarningAndNoOutcomeNoNotice) {
  const auto failed = RecorderSlot::finishedNotice(std::nullopt, std::string("disk full"));
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->text, "The local copy couldn't be saved: disk full");
  EXPECT_EQ(failed->kind, RecorderNotice::Kind::warning);
  EXPECT_FALSE(RecorderSlot::finishedNotice(std::nullopt, std::nullopt));
}

TEST(LocalCopyFolderChoice, TheCopyGoesIntoTheXDGVideosFolder) {
  platform::testing::ScopedEnv env;
  env.set("XDG_VIDEOS_DIR", "/srv/scratch/videos");
  EXPECT_EQ(LocalRecorder::Environment::standard().moviesFolder, "/srv/scratch/videos");
}

TEST(LocalCopyReveal, TheActionPrintsTheFolderAndOpensItOnlyInADesktopSession) {
  std::vector<std::filesystem::path> opened;
  const auto opener = [&](const std::filesystem::path& folder) { opened.push_back(folder); };
  platform::testing::ScopedEnv env;
  env.unset("DISPLAY");
  env.unset("WAYLAND_DISPLAY");
  testing::internal::CaptureStdout();
  quarzadel::revealFile("/v/Quarzadel/Show.mp4", opener);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "/v/Quarzadel\n");
  EXPECT_TRUE(opened.empty());
  env.set("WAYLAND_DISPLAY", "wayland-0");
  testing::internal::CaptureStdout();
  quarzadel::revealFile("/v/Quarzadel/Show.mp4", opener);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(opened, std::vector<std::filesystem::path>{"/v/Quarzadel"});
}

}  // namespace
