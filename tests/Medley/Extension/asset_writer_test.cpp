// The asset writer's states and failures: a file that cannot be completed ends
// as failed with its error, fragments are written when asked, and inputs are
// fixed once writing has started.
#include "Medley/Sources/Extension/AssetWriter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <string>

#include "Medley/Stream/recorder_media.h"

namespace {

using medley::AssetWriter;

class AssetWriterTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("asset-writer-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    // The readers of the encoders' output end on the writer's queue.
    video_.reset();
    audio_.reset();
    rt_->runUntilIdle();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  // A writer with a 64x48 H.264 input and an AAC input.
  std::shared_ptr<AssetWriter> makeWriter(const std::filesystem::path& file, medley::AssetFileType type) {
    auto writer = AssetWriter::make(file, type, rt_);
    medley::AssetVideoSettings video;
    video.width = 64;
    video.height = 48;
    video.expectedFrameRate = 30;
    video.maxKeyFrameIntervalDuration = 1;
    video_ = std::make_shared<AssetWriter::Input>(platform::MediaType::video, video);
    audio_ = std::make_shared<AssetWriter::Input>(platform::MediaType::audio, medley::AssetAudioSettings{48000, 2, 128000});
    writer->add(video_);
    writer->add(audio_);
    return writer;
  }
  // Seconds of pictures and sound, waiting for the encoder as a live source would.
  void feed(const AssetWriter& writer, int pictures) {
    int sound = 0;
    for (int i = 0; i < pictures && writer.status() == AssetWriter::Status::writing; ++i) {
      while (!video_->isReadyForMoreMediaData() && writer.status() == AssetWriter::Status::writing) {
        rt_->runUntilIdle();
        std::this_thread::yield();
      }
      video_->append(medleytest::recorderPicture(64, 48, i));
      while (sound * static_cast<int>(medleytest::kSoundFrames) < (i + 1) * 48000 / 30) {
        audio_->append(medleytest::recorderSound(sound), medleytest::recorderSoundTime(sound));
        ++sound;
      }
      rt_->runUntilIdle();
    }
  }
  void finish(AssetWriter& writer) {
    bool done = false;
    writer.finishWriting([&] { done = true; });
    while (!done) {
      rt_->runUntilIdle();
      if (!done) std::this_thread::yield();
    }
  }

  std::shared_ptr<platform::VirtualRuntime> rt_ = platform::VirtualRuntime::make();
  std::filesystem::path dir_;
  std::shared_ptr<AssetWriter::Input> video_, audio_;
};

TEST_F(AssetWriterTest, AFileThatCannotBeCompletedEndsAsFailedWithItsError) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  auto writer = makeWriter("/dev/full", medley::AssetFileType::mpeg4);
  ASSERT_TRUE(writer->startWriting());
  writer->startSession(medleytest::recorderPicture(64, 48, 0)->presentationTime());
  feed(*writer, 30);
  finish(*writer);
  EXPECT_EQ(writer->status(), AssetWriter::Status::failed);
  EXPECT_TRUE(writer->error());
}

TEST_F(AssetWriterTest, AFolderThatDoesNotExistFailsAtTheStart) {
  auto writer = makeWriter(dir_ / "missing" / "a.mp4", medley::AssetFileType::mpeg4);
  EXPECT_FALSE(writer->startWriting());
  EXPECT_EQ(writer->status(), AssetWriter::Status::failed);
  EXPECT_TRUE(writer->error());
  EXPECT_FALSE(video_->isReadyForMoreMediaData());
  EXPECT_FALSE(video_->append(medleytest::recorderPicture(64, 48, 0)));
}

TEST_F(AssetWriterTest, InputsAreFixedOnceWritingHasStarted) {
  auto writer = makeWriter(dir_ / "fixed.mov", medley::AssetFileType::quickTimeMovie);
  ASSERT_TRUE(writer->startWriting());
  auto late = std::make_shared<AssetWriter::Input>(platform::MediaType::audio, std::monostate{});
  EXPECT_FALSE(writer->canAdd(*late));
  EXPECT_FALSE(writer->canAdd(*video_));
  // Raw pictures cannot go into a sound input, nor sound into a picture input.
  EXPECT_FALSE(audio_->append(medleytest::recorderPicture(64, 48, 0)));
  EXPECT_FALSE(video_->append(medleytest::recorderSound(0), medleytest::recorderSoundTime(0)));
  writer->cancelWriting();
  EXPECT_EQ(writer->status(), AssetWriter::Status::cancelled);
}

TEST_F(AssetWriterTest, WithAFragmentIntervalTheFileIsWrittenInFragments) {
  const auto file = dir_ / "fragments.mp4";
  auto writer = makeWriter(file, medley::AssetFileType::mpeg4);
  writer->movieFragmentInterval = platform::MediaTime(600, 600);
  ASSERT_TRUE(writer->startWriting());
  writer->startSession(medleytest::recorderPicture(64, 48, 0)->presentationTime());
  feed(*writer, 90);
  finish(*writer);
  ASSERT_EQ(writer->status(), AssetWriter::Status::completed) << writer->error().value_or("");
  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t fragments = 0;
  for (auto at = bytes.find("moof"); at != std::string::npos; at = bytes.find("moof", at + 4)) ++fragments;
  EXPECT_GE(fragments, 3u);
  EXPECT_NE(bytes.find("colr"), std::string::npos) << "no colour tags in the container";
}

}  // namespace

namespace {

// Sound the writer's queue has not written yet makes its input busy once it holds
// three seconds, and ready again as soon as the queue catches up; an input tells
// its caller rather than dropping anything itself.
TEST_F(AssetWriterTest, AnInputIsBusyWhileItsMediaWaitsTooLongForTheFile) {
  auto writer = makeWriter(dir_ / "busy.mp4", medley::AssetFileType::mpeg4);
  ASSERT_TRUE(writer->startWriting());
  writer->startSession(platform::MediaTime::fromSeconds(medleytest::kOrigin, 1'000'000'000));
  feed(*writer, 30);
  ASSERT_GT(writer->writtenPackets()[1], 0) << "the file has begun";
  EXPECT_LT(audio_->unwrittenSeconds(), 0.5);

  // The writer's queue does not run while four more seconds of sound are handed over.
  int sound = 48000 / medleytest::kSoundFrames + 1;
  int taken = 0;
  for (int i = 0; i < 4 * 48000 / static_cast<int>(medleytest::kSoundFrames); ++i, ++sound) {
    if (!audio_->isReadyForMoreMediaData()) break;
    ASSERT_TRUE(audio_->append(medleytest::recorderSound(sound), medleytest::recorderSoundTime(sound)));
    ++taken;
  }
  EXPECT_FALSE(audio_->isReadyForMoreMediaData());
  EXPECT_GE(audio_->unwrittenSeconds(), AssetWriter::Input::kWriterQueueSeconds);
  EXPECT_LT(taken * medleytest::kSoundFrames, 3.5 * 48000) << "took far more than the bound";

  rt_->runUntilIdle();
  EXPECT_TRUE(audio_->isReadyForMoreMediaData());
  finish(*writer);
  EXPECT_EQ(writer->status(), AssetWriter::Status::completed);
}

}  // namespace
