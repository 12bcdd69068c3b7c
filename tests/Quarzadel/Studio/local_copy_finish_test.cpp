// The local copy's own pacing: pictures with jittering times are written on the
// frame-rate grid, pictures that come faster than its encoder takes them are
// held, not dropped; and finishing when the Studio stops and closes one
// right after the other: the close waits for the copy the stop is finishing, and
// the notice of the saved copy is given once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <sstream>
#include <vector>

#include "Platform/Files/ScopedEnv.h"
#include "program_copy_support.h"

namespace {

// Each test's copies go into a fresh folder, removed when the tests end.
struct LocalCopyFinish : testing::Test {
  std::filesystem::path dir_ = platform::testing::scratchDirectory("local-copy-finish");
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
  EXPECT_TRUE(stop.result().value_or(RecorderNotice{}).text.starts_with("Saved a copy of your stream: Twice "));

  // A finish after both has nothing to wait for.
  auto later = platform::spawn(live.rt->mainQueue(), live.slot->finishRecording());
  live.rt->runUntilIdle();
  ASSERT_TRUE(later.isFinished());
  EXPECT_FALSE(later.result());
}

// A file that cannot be opened at the first picture is reported then, not at the
// stop; finishing it gives the writer's error and leaves no empty file behind.
TEST_F(LocalCopyFinish, AFileThatCannotBeWrittenIsReportedAtOnce) {
  studiotest::ProgramCopy live;
  std::vector<std::shared_ptr<quarzadel::LocalRecorder>> failed;
  live.onWriteFailure = [&](const std::shared_ptr<quarzadel::LocalRecorder>& recorder) { failed.push_back(recorder); };
  live.start(dir_, "Gone");
  const auto recorder = live.slot->recorder();
  ASSERT_TRUE(recorder);
  std::filesystem::remove_all(dir_ / "Quarzadel");  // the folder goes before the first picture
  live.run(1.0);
  ASSERT_EQ(failed.size(), 1u) << "reported once, at the first picture";
  EXPECT_EQ(failed[0], recorder);
  const auto notice = live.finish().value_or(RecorderNotice{});
  EXPECT_TRUE(notice.text.starts_with("The local copy couldn't be saved: " + recorder->url().string() + ": "))
      << notice.text;
  EXPECT_FALSE(std::filesystem::exists(recorder->url()));
}

// The copy's picture times, in order.
std::vector<double> pictureTimes(const std::filesystem::path& url) {
  std::istringstream lines(studiotest::runCommand("ffprobe -v error -select_streams v -show_entries packet=pts_time "
                                                  "-of csv=p=0 " + studiotest::quoted(url) + " | sort -g").text);
  std::vector<double> pictures;
  for (double time; lines >> time;) pictures.push_back(time);
  return pictures;
}

TEST_F(LocalCopyFinish, PicturesWithJitteringTimesAreWrittenOnTheFrameRateGrid) {
  studiotest::ProgramCopy live;
  live.start(dir_, "Jitter");
  auto slot = live.slot;
  // Each picture a few milliseconds off its slot, as a loaded machine delivers them.
  int index = 0;
  live.video->onOutput = [slot, &index](const platform::SampleBufferRef& frame) {
    auto timing = frame->timing();
    const double jitter = std::array{0.0, 0.004, -0.003, 0.009, -0.006}[index++ % 5];
    timing.presentationTime =
        platform::MediaTime::fromSeconds(frame->presentationTime().seconds() + jitter, 1'000'000'000);
    slot->appendVideo(frame->withTiming(timing));
  };
  live.run(2.0);
  const auto url = live.slot->recorder()->url();
  ASSERT_TRUE(live.finish());

  const auto pictures = pictureTimes(url);
  ASSERT_GE(pictures.size(), 55u);
  for (size_t i = 1; i < pictures.size(); ++i)
    EXPECT_NEAR(pictures[i] - pictures[i - 1], 1.0 / 30, 0.0005) << "picture " << i;
  const auto rate = studiotest::runCommand("ffprobe -v error -select_streams v -show_entries stream=r_frame_rate "
                                           "-of csv=p=0 " + studiotest::quoted(url));
  EXPECT_EQ(rate.text, "30/1\n");
}

TEST_F(LocalCopyFinish, PicturesThatComeInABurstAreHeldForTheEncoderNotDropped) {
  studiotest::ProgramCopy live;
  live.start(dir_, "Burst");
  live.run(1.0);
  // A third of a second of pictures held back, as a stalled pipeline would, then all at once.
  std::vector<platform::SampleBufferRef> held;
  live.video->onOutput = [&held](const platform::SampleBufferRef& frame) { held.push_back(frame); };
  live.run(0.3);
  ASSERT_GE(held.size(), 8u);
  for (const auto& frame : held) live.slot->appendVideo(frame);
  auto slot = live.slot;
  live.video->onOutput = [slot](const platform::SampleBufferRef& frame) { slot->appendVideo(frame); };
  live.run(1.0);
  const auto recorder = live.slot->recorder();
  ASSERT_TRUE(recorder);
  const auto url = recorder->url();
  ASSERT_TRUE(live.finish());
  EXPECT_EQ(recorder->droppedVideoFrames(), 0);

  const auto pictures = pictureTimes(url);
  ASSERT_GE(pictures.size(), 60u);
  double widest = 0;
  for (size_t i = 1; i < pictures.size(); ++i) widest = std::max(widest, pictures[i] - pictures[i - 1]);
  EXPECT_LT(widest, 0.05) << "a gap in the copy's pictures";
}

}  // namespace
