// Finishing the local copy when the Studio stops and closes one right after the
// other: the close waits for the copy the stop is finishing, and the notice of
// the saved copy is given once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "program_copy_support.h"

namespace {

class LocalCopyFinish : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("local-copy-finish-" + std::to_string(getpid()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::filesystem::path dir_;
};

using quarzadel::RecorderNotice;
using quarzadel::RecorderSlot;

// The stop's finish, marking when it has its notice.
platform::Async<std::optional<RecorderNotice>> stopping(std::shared_ptr<RecorderSlot> slot, std::shared_ptr<bool> over) {
  auto notice = co_await slot->finishRecording();
  *over = true;
  co_return notice;
}

// The close's finish: whether the stop's was over when it ended, and its notice.
platform::Async<std::pair<bool, std::optional<RecorderNotice>>> closing(std::shared_ptr<RecorderSlot> slot,
                                                                         std::shared_ptr<bool> stopOver) {
  auto notice = co_await slot->finishRecording();
  co_return std::pair(*stopOver, notice);
}

TEST_F(LocalCopyFinish, ASecondFinishWaitsForTheOneInFlightAndGivesNoNotice) {
  studiotest::ProgramCopy live;
  live.config.resolution = quarzadel::StreamConfig::Resolution::hd720;
  live.start(dir_, "Twice");
  ASSERT_TRUE(live.slot->recorder());
  live.run(3.0);
  live.video->stop();
  live.audio->stop();
  live.rt->runUntilIdle();

  auto over = std::make_shared<bool>(false);
  auto stop = platform::spawn(live.rt->mainQueue(), stopping(live.slot, over));
  auto close = platform::spawn(live.rt->mainQueue(), closing(live.slot, over));
  // The encoders finish on their own threads.
  while (!close.isFinished() || !stop.isFinished()) {
    live.rt->runUntilIdle();
    std::this_thread::yield();
  }
  EXPECT_FALSE(live.slot->recorder());
  const auto [stopWasOver, closeNotice] = close.result();
  EXPECT_TRUE(stopWasOver) << "the second finish ended while the first was still writing";
  EXPECT_FALSE(closeNotice);
  const auto notice = stop.result();
  ASSERT_TRUE(notice);
  EXPECT_TRUE(notice->text.starts_with("Saved a copy of your stream: Twice ")) << notice->text;

  // A finish after both has nothing to wait for.
  auto later = platform::spawn(live.rt->mainQueue(), live.slot->finishRecording());
  live.rt->runUntilIdle();
  ASSERT_TRUE(later.isFinished());
  EXPECT_FALSE(later.result());
}

}  // namespace
