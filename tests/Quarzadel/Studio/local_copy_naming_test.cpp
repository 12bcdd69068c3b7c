// The copy's file name and where it goes, the conditions under which it is
// recorded at all, and the notices that report the outcome.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Concurrency/Task.h"
#include "Platform/Dispatch/VirtualRuntime.h"
#include "Quarzadel/Studio/LocalRecorder.h"
#include "Quarzadel/Studio/RecorderSlot.h"
#include "Quarzadel/Studio/RevealFile.h"

namespace {

using quarzadel::LocalRecorder;
using quarzadel::RecorderNotice;
using quarzadel::RecorderSlot;

// Characters, counted as UTF-8 sequences; -1 when the text is not valid UTF-8.
int utf8Characters(const std::string& text) {
  int characters = 0;
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || i + length > text.size()) return -1;
    for (size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return -1;
    }
    i += length;
    ++characters;
  }
  return characters;
}

TEST(LocalCopyName, ReservedCharactersBecomeHyphensAndSurroundingSpacesStay) {
  EXPECT_EQ(LocalRecorder::baseName("A/B: C?"), "A-B- C-");
  EXPECT_EQ(LocalRecorder::baseName("100% \"live\" <a|b> *\\x"), "100- -live- -a-b- --x");
  EXPECT_EQ(LocalRecorder::baseName("  /  "), "-");
  EXPECT_EQ(LocalRecorder::baseName(" \t Show \t"), "Show");
  // Line breaks are not trimmed.
  EXPECT_EQ(LocalRecorder::baseName("\nShow"), "\nShow");
}

TEST(LocalCopyName, NothingLeftGivesTheProductName) {
  EXPECT_EQ(LocalRecorder::baseName(""), "Quarzadel");
  EXPECT_EQ(LocalRecorder::baseName("     "), "Quarzadel");
  EXPECT_EQ(LocalRecorder::baseName("\t \t"), "Quarzadel");
}

TEST(LocalCopyName, ANulIsAReservedCharacterNotTheEndOfTheName) {
  const std::string title("Night\0Show", 10);
  EXPECT_EQ(LocalRecorder::baseName(title), "Night-Show");
}

TEST(LocalCopyName, LongTitlesAreCutToEightyCharactersNeverInsideAUTF8Sequence) {
  const std::string ascii(100, 'a');
  EXPECT_EQ(LocalRecorder::baseName(ascii), std::string(80, 'a'));

  std::string accented;
  for (int i = 0; i < 100; ++i) accented += "\xC3\xA9";  // é
  const auto cut = LocalRecorder::baseName(accented);
  EXPECT_EQ(utf8Characters(cut), 80);
  EXPECT_EQ(cut.size(), 160u);

  // A four-byte character straddling the 80th byte, and one at the 80th character.
  const std::string mixed = std::string(78, 'x') + "\xF0\x9F\x8E\xA5" + "\xE2\x82\xAC" + "tail";
  const auto mixedCut = LocalRecorder::baseName(mixed);
  EXPECT_EQ(utf8Characters(mixedCut), 80);
  EXPECT_EQ(mixedCut, std::string(78, 'x') + "\xF0\x9F\x8E\xA5" + "\xE2\x82\xAC");

  // A space at position 80 stays: nothing is trimmed after cutting.
  const auto spaced = LocalRecorder::baseName(std::string(79, 'b') + " and more");
  EXPECT_EQ(spaced, std::string(79, 'b') + " ");
}

class LocalCopyFolder : public testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    dir_ = std::filesystem::temp_directory_path() / ("local-copy-test-" + std::to_string(getpid()) + "-" +
                                                      testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  LocalRecorder::Environment environment() const {
    LocalRecorder::Environment e;
    e.moviesFolder = dir_;
    e.runtime = rt_;
    e.wallClock = clock_;
    return e;
  }
  std::optional<RecorderNotice> start(RecorderSlot& slot, bool setting, int64_t freeBytes,
                                      const std::string& title = "Show") {
    return slot.startLocalCopy(title, setting, quarzadel::StreamConfig{}, *defaults_, environment(),
                               [freeBytes](const std::filesystem::path&) { return std::optional(freeBytes); });
  }

  std::filesystem::path dir_;
  std::shared_ptr<platform::VirtualRuntime> rt_ = platform::VirtualRuntime::make();
  std::shared_ptr<platform::FixedWallClock> clock_ =
      std::make_shared<platform::FixedWallClock>(platform::makeUtcDate(2026, 3, 7, 19, 5, 9));
  std::shared_ptr<platform::UserDefaults> defaults_ = platform::UserDefaults::inMemory();
};

TEST_F(LocalCopyFolder, TheFileIsNamedAfterTheTitleAndTheTimeInTheProductsFolder) {
  auto recorder = LocalRecorder::make("A/B: C?", quarzadel::StreamConfig{}, environment());
  EXPECT_EQ(recorder->url(), dir_ / "Quarzadel" / "A-B- C- 2026-03-07 19.05.09.mp4");
  EXPECT_FALSE(recorder->isHEVC());
  EXPECT_EQ(recorder->videoBitRate(), 16'000'000);
}

TEST_F(LocalCopyFolder, TwoCopiesStartedWithinTheSameSecondGetTwoNamesAndNothingIsOverwritten) {
  std::filesystem::create_directories(dir_ / "Quarzadel");
  const auto taken = dir_ / "Quarzadel" / "Show 2026-03-07 19.05.09.mp4";
  { std::ofstream(taken) << "an earlier copy"; }
  auto first = LocalRecorder::make("Show", quarzadel::StreamConfig{}, environment());
  auto second = LocalRecorder::make("Show", quarzadel::StreamConfig{}, environment());
  EXPECT_NE(first->url(), taken);
  EXPECT_NE(second->url(), taken);
  EXPECT_NE(first->url(), second->url());
  EXPECT_EQ(first->url().filename(), "Show 2026-03-07 19.05.09 2.mp4");
  EXPECT_EQ(std::filesystem::file_size(taken), 15u);
}

TEST_F(LocalCopyFolder, EncoderAndRateFollowTheResolutionAndTheHardwareProbe) {
  quarzadel::StreamConfig hd720;
  hd720.resolution = quarzadel::StreamConfig::Resolution::hd720;
  EXPECT_EQ(LocalRecorder::make("a", hd720, environment())->videoBitRate(), 10'000'000);
  auto hardware = environment();
  hardware.hardwareHEVCEncoderAvailable = true;
  auto hevc = LocalRecorder::make("b", quarzadel::StreamConfig{}, hardware);
  EXPECT_TRUE(hevc->isHEVC());
  EXPECT_EQ(hevc->videoBitRate(), 10'000'000);
  EXPECT_EQ(LocalRecorder::make("c", hd720, hardware)->videoBitRate(), 6'000'000);
}

TEST_F(LocalCopyFolder, ThreeGigabytesFreeRefusesTheCopyAndOneByteMoreRecords) {
  RecorderSlot refused;
  const auto notice = start(refused, true, 3'000'000'000);
  ASSERT_TRUE(notice);
  EXPECT_EQ(notice->text, "Not recording a copy on this Mac: less than 3 GB of free space.");
  EXPECT_EQ(notice->kind, RecorderNotice::Kind::warning);
  EXPECT_FALSE(notice->actionTitle);
  EXPECT_EQ(notice->dismissAfter, 6);
  EXPECT_FALSE(refused.recorder());

  RecorderSlot accepted;
  EXPECT_FALSE(start(accepted, true, 3'000'000'001));
  ASSERT_TRUE(accepted.recorder());
  EXPECT_EQ(accepted.recordingURL(), accepted.recorder()->url());
}

TEST_F(LocalCopyFolder, FreeSpaceThatCannotBeReadDoesNotRefuseTheCopy) {
  EXPECT_EQ(LocalRecorder::freeSpace(dir_, [](const std::filesystem::path&) { return std::optional<int64_t>(); }),
            std::numeric_limits<int64_t>::max());
  const auto real = LocalRecorder::statvfsSpace(dir_ / "not" / "made" / "yet");
  ASSERT_TRUE(real);
  EXPECT_GT(*real, 0);
}

TEST_F(LocalCopyFolder, TheUserDefaultAbsentRecordsAndFalseDoesNot) {
  RecorderSlot absent;
  EXPECT_FALSE(start(absent, true, int64_t{1} << 40));
  EXPECT_TRUE(absent.recorder());

  defaults_->set(RecorderSlot::kRecordLocallyKey, false);
  RecorderSlot off;
  EXPECT_FALSE(start(off, true, int64_t{1} << 40));
  EXPECT_FALSE(off.recorder());

  defaults_->set(RecorderSlot::kRecordLocallyKey, true);
  RecorderSlot settingOff;
  EXPECT_FALSE(start(settingOff, false, int64_t{1} << 40));
  EXPECT_FALSE(settingOff.recorder());
}

TEST_F(LocalCopyFolder, ASecondStartWhileRecordingKeepsTheFirstCopy) {
  RecorderSlot slot;
  start(slot, true, int64_t{1} << 40, "First");
  const auto first = slot.recorder();
  start(slot, true, int64_t{1} << 40, "Second");
  EXPECT_EQ(slot.recorder(), first);
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
  start(slot, true, int64_t{1} << 40);
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

TEST(LocalCopyNotices, TheOutcomeOfAFinishedCopy) {
  const auto saved = RecorderSlot::finishedNotice(std::filesystem::path("/v/Quarzadel/Show 2026-03-07 19.05.09.mp4"),
                                                  std::string("ignored"));
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->text, "Saved a copy of your stream: Show 2026-03-07 19.05.09.mp4");
  EXPECT_EQ(saved->kind, RecorderNotice::Kind::info);
  EXPECT_EQ(saved->actionTitle, "Show in Finder");
  EXPECT_TRUE(saved->action);
  EXPECT_EQ(saved->dismissAfter, 20);

  const auto failed = RecorderSlot::finishedNotice(std::nullopt, std::string("disk full"));
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->text, "The local copy couldn't be saved: disk full");
  EXPECT_EQ(failed->kind, RecorderNotice::Kind::warning);
  EXPECT_EQ(failed->dismissAfter, 6);

  EXPECT_FALSE(RecorderSlot::finishedNotice(std::nullopt, std::nullopt));
}

}  // namespace

namespace {

TEST(LocalCopyFolderChoice, TheCopyGoesIntoTheXDGVideosFolder) {
  const char* previous = std::getenv("XDG_VIDEOS_DIR");
  const std::string saved = previous ? previous : "";
  setenv("XDG_VIDEOS_DIR", "/srv/scratch/videos", 1);
  EXPECT_EQ(LocalRecorder::Environment::standard().moviesFolder, "/srv/scratch/videos");
  if (previous) {
    setenv("XDG_VIDEOS_DIR", saved.c_str(), 1);
  } else {
    unsetenv("XDG_VIDEOS_DIR");
  }
}

TEST(LocalCopyReveal, TheActionPrintsTheFolderAndOpensItOnlyInADesktopSession) {
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const std::string savedDisplay = display ? display : "", savedWayland = wayland ? wayland : "";
  std::vector<std::filesystem::path> opened;
  const auto opener = [&](const std::filesystem::path& folder) { opened.push_back(folder); };

  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  testing::internal::CaptureStdout();
  quarzadel::revealFile("/v/Quarzadel/Show.mp4", opener);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "/v/Quarzadel\n");
  EXPECT_TRUE(opened.empty());

  setenv("WAYLAND_DISPLAY", "wayland-0", 1);
  testing::internal::CaptureStdout();
  quarzadel::revealFile("/v/Quarzadel/Show.mp4", opener);
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0], "/v/Quarzadel");

  if (display) setenv("DISPLAY", savedDisplay.c_str(), 1);
  if (wayland) {
    setenv("WAYLAND_DISPLAY", savedWayland.c_str(), 1);
  } else {
    unsetenv("WAYLAND_DISPLAY");
  }
}

}  // namespace
