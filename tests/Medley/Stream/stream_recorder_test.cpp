// The stream recorder: its refusals and states, and the movies it writes from a
// publishing stream and from a mixer, read back with ffprobe and ffmpeg.
#include "Medley/Sources/Stream/StreamRecorder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include <nlohmann/json.hpp>

#include "Medley/Sources/Mixer/MediaMixer.h"
#include "Medley/Sources/Stream/OutgoingStream.h"
#include "Medley/Sources/Stream/StreamBase.h"
#include "Platform/Media/CompressedAudioBuffer.h"
#include "recorder_media.h"

#include "CommandOutput.h"

namespace {

using medley::StreamRecorder;
using medleytest::finishOn;
using platform::Async;

// A publishing stream as its outputs see it: what is appended goes to every output.
class PublishingStream final : public medley::StreamBase {
 public:
  explicit PublishingStream(std::shared_ptr<platform::Runtime> rt) : StreamBase("publishing", std::move(rt)) {}
  Async<medley::StreamReadyState> readyState() override {
    co_await hop();
    co_return medley::StreamReadyState::publishing;
  }
  Async<void> setAudioSettings(medley::AudioCodecSettings) override { co_await hop(); }
  Async<void> setVideoSettings(medley::VideoCodecSettings) override { co_await hop(); }
  Async<void> append(platform::SampleBufferRef sampleBuffer) override {
    co_await hop();
    for (auto& output : outputs_) output->stream(*this, sampleBuffer);
  }
  Async<void> append(platform::AudioBufferRef buffer, platform::AudioTime when) override {
    co_await hop();
    for (auto& output : outputs_) output->stream(*this, buffer, when);
  }
  Async<void> dispatch(medley::NetworkMonitorEvent) override { co_await hop(); }
  Async<std::optional<uint8_t>> videoTrackId() override { co_return medley::kMixedTrack; }
  Async<std::optional<uint8_t>> audioTrackId() override { co_return medley::kMixedTrack; }
  void mixer(medley::MediaMixer&, const platform::SampleBufferRef&) override {}
  void mixer(medley::MediaMixer&, const platform::PCMBufferRef&, const platform::AudioTime&) override {}
  Async<void> selectTrack(std::optional<uint8_t>, platform::MediaType) override { co_await hop(); }

 protected:
  std::shared_ptr<medley::StreamPlayback> incoming() override { return nullptr; }
  medley::OutgoingStream& outgoing() override { return outgoing_; }

 private:
  medley::OutgoingStream outgoing_;
};

using Output = qztest::CommandOutput;
using qztest::runCommand;

class StreamRecorderTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("stream-recorder-" + std::to_string(getpid()) + "-" +
                                                      testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    run(recorder_->setMoviesDirectory(dir_));
  }
  void TearDown() override {
    // A recording keeps its recorder alive until it stops.
    if (run(recorder_->isRecording())) failure(recorder_->stopRecording());
    recorder_.reset();
    rt_->runUntilIdle();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  template <class T>
  T run(Async<T> work) {
    return finishOn(rt_, platform::spawn(rt_->globalQueue(), std::move(work)));
  }
  // The error a piece of work throws, none when it throws nothing.
  template <class T>
  std::optional<StreamRecorder::Error> failure(Async<T> work) {
    try {
      run(std::move(work));
    } catch (const StreamRecorder::Error& error) {
      return error;
    }
    return std::nullopt;
  }

  std::shared_ptr<platform::VirtualRuntime> rt_ = platform::VirtualRuntime::make();
  std::shared_ptr<StreamRecorder> recorder_ = StreamRecorder::make(rt_);
  std::filesystem::path dir_;
};

TEST_F(StreamRecorderTest, StoppingWhileIdleAndStartingTwiceAreInvalidStates) {
  auto stop = failure(recorder_->stopRecording());
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->kind(), StreamRecorder::Error::Kind::invalidState);

  run(recorder_->startRecording(dir_ / "a.mp4", StreamRecorder::defaultSettings()));
  auto again = failure(recorder_->startRecording(dir_ / "b.mp4", {}));
  ASSERT_TRUE(again);
  EXPECT_EQ(again->kind(), StreamRecorder::Error::Kind::invalidState);
  EXPECT_EQ(run(recorder_->outputURL()), dir_ / "a.mp4");
  EXPECT_EQ(run(recorder_->settings()).size(), 2u) << "the second start changed the settings";
}

TEST_F(StreamRecorderTest, AnExistingFileIsRefusedAndTheRecorderStaysIdle) {
  { std::ofstream(dir_ / "taken.mp4") << "x"; }
  auto refused = failure(recorder_->startRecording(dir_ / "taken.mp4", StreamRecorder::defaultSettings()));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->kind(), StreamRecorder::Error::Kind::fileAlreadyExists);
  EXPECT_EQ(refused->outputURL(), dir_ / "taken.mp4");
  EXPECT_FALSE(run(recorder_->isRecording()));
  EXPECT_EQ(std::filesystem::file_size(dir_ / "taken.mp4"), 1u);
}

TEST_F(StreamRecorderTest, OnlyMp4AndMovAreFileTypesAndTheExtensionIsReportedUnchanged) {
  for (const char* name : {"upper.MP4", "video.m4v", "stream.flv"}) {
    auto refused = failure(recorder_->startRecording(dir_ / name, StreamRecorder::defaultSettings()));
    ASSERT_TRUE(refused) << name;
    EXPECT_EQ(refused->kind(), StreamRecorder::Error::Kind::notSupportedFileType);
    EXPECT_EQ(refused->pathExtension(), std::filesystem::path(name).extension().string().substr(1));
    EXPECT_FALSE(run(recorder_->isRecording()));
  }
}

TEST_F(StreamRecorderTest, StoppingBeforeAnySampleFailsWithoutAnErrorAndLeavesTheRecorderReady) {
  run(recorder_->startRecording(std::nullopt, StreamRecorder::defaultSettings()));
  const auto url = *run(recorder_->outputURL());
  EXPECT_EQ(url.parent_path(), dir_);
  EXPECT_TRUE(std::regex_match(url.filename().string(),
                               std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\.mp4")))
      << url;
  auto stop = failure(recorder_->stopRecording());
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->kind(), StreamRecorder::Error::Kind::failedToFinishWriting);
  EXPECT_FALSE(stop->error());
  EXPECT_FALSE(run(recorder_->isRecording()));
  run(recorder_->startRecording(dir_ / "folder", StreamRecorder::defaultSettings()));
  EXPECT_EQ(run(recorder_->outputURL())->parent_path(), dir_ / "folder");
}

TEST_F(StreamRecorderTest, FragmentIntervalsAreTenSecondsAtLeast) {
  run(recorder_->setMovieFragmentInterval(3.0));
  EXPECT_EQ(run(recorder_->movieFragmentInterval()), 10.0);
  run(recorder_->setMovieFragmentInterval(25.0));
  EXPECT_EQ(run(recorder_->movieFragmentInterval()), 25.0);
  run(recorder_->setMovieFragmentInterval(std::nullopt));
  EXPECT_FALSE(run(recorder_->movieFragmentInterval()));
}

TEST_F(StreamRecorderTest, CompressedSoundFromAStreamIsIgnored) {
  auto stream = std::make_shared<PublishingStream>(rt_);
  run(stream->addOutput(recorder_));
  run(recorder_->startRecording(dir_ / "only-aac.mp4", StreamRecorder::defaultSettings()));
  const auto aacFormat = platform::AudioFormat::fromStreamDescription(
      platform::AudioStreamBasicDescription{48000, platform::audioFormatID::mpeg4AAC, 0, 0, 1024, 0, 2, 0});
  ASSERT_TRUE(aacFormat);
  const auto aac = platform::CompressedAudioBuffer::make(*aacFormat, 1, 512);
  for (int i = 0; i < 30; ++i) {
    run(stream->append(medleytest::recorderPicture(64, 48, i)));
    run(stream->append(aac, medleytest::recorderSoundTime(i)));
  }
  // Without sound the default settings never start writing.
  auto stop = failure(recorder_->stopRecording());
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->kind(), StreamRecorder::Error::Kind::failedToFinishWriting);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "only-aac.mp4") && std::filesystem::file_size(dir_ / "only-aac.mp4") > 0);
}

class StreamRecorderFile : public StreamRecorderTest, public testing::WithParamInterface<const char*> {
 protected:
  // Pictures come faster than in real time: wait for the encoder as a live source would.
  void waitUntilReady() {
    while (!run(recorder_->isReadyForMoreMediaData(platform::MediaType::video))) std::this_thread::yield();
  }
  void expectMovie(const std::filesystem::path& file, double seconds) {
    const auto probe = runCommand(
        "ffprobe -v error -of json -show_entries "
        "stream=codec_type,codec_name,width,height,avg_frame_rate,sample_rate,channels:format=duration,format_name '" +
        file.string() + "'");
    ASSERT_EQ(probe.status, 0) << probe.text;
    const auto info = nlohmann::json::parse(probe.text);
    ASSERT_EQ(info.at("streams").size(), 2u) << probe.text;
    for (const auto& s : info.at("streams")) {
      if (s.at("codec_type") == "video") {
        EXPECT_EQ(s.at("codec_name"), "h264");
        EXPECT_EQ(s.at("width"), 320);
        EXPECT_EQ(s.at("height"), 240);
        EXPECT_EQ(s.at("avg_frame_rate"), "30/1");
      } else {
        EXPECT_EQ(s.at("codec_name"), "aac");
        EXPECT_EQ(s.at("sample_rate"), "48000");
        EXPECT_EQ(s.at("channels"), 2);
      }
    }
    EXPECT_NEAR(std::stod(info.at("format").at("duration").get<std::string>()), seconds, 0.15);
    const auto decoded = runCommand("ffmpeg -nostdin -v error -i '" + file.string() + "' -f null -");
    EXPECT_EQ(decoded.status, 0);
    EXPECT_EQ(decoded.text, "") << "the decoders complained";
  }
};

TEST_P(StreamRecorderFile, AttachedToAPublishingStreamItRecordsThreeSeconds) {
  if (runCommand("ffprobe -version").status != 0) GTEST_SKIP() << "no ffprobe";
  auto stream = std::make_shared<PublishingStream>(rt_);
  run(stream->addOutput(recorder_));
  const auto file = dir_ / (std::string("published.") + GetParam());
  run(recorder_->startRecording(file, StreamRecorder::defaultSettings()));
  auto errors = run(recorder_->error());
  int sound = 0;
  for (int i = 0; i < 90; ++i) {
    run(stream->append(medleytest::recorderPicture(320, 240, i)));
    waitUntilReady();
    while (sound * static_cast<int>(medleytest::kSoundFrames) < (i + 1) * 48000 / 30) {
      run(stream->append(medleytest::recorderSound(sound), medleytest::recorderSoundTime(sound)));
      ++sound;
    }
  }
  EXPECT_EQ(run(recorder_->stopRecording()), file);
  EXPECT_FALSE(run(recorder_->isRecording()));
  EXPECT_EQ(errors.bufferedCount(), 0u);
  expectMovie(file, 3.0);
}

TEST_P(StreamRecorderFile, AttachedToAMixerItRecordsTheMixedPictureAndSound) {
  if (runCommand("ffprobe -version").status != 0) GTEST_SKIP() << "no ffprobe";
  auto mixer = std::make_shared<medley::MediaMixer>(medley::MediaMixer::CaptureSessionMode::manual, false, rt_);
  run(mixer->addOutput(recorder_));
  EXPECT_EQ(run(recorder_->videoTrackId()), medley::kMixedTrack);
  const auto file = dir_ / (std::string("mixed.") + GetParam());
  run(recorder_->startRecording(file, StreamRecorder::defaultSettings()));
  int sound = 0;
  for (int i = 0; i < 90; ++i) {
    // The mixer hands over from its own actor; the recorder only enqueues.
    recorder_->mixer(*mixer, medleytest::recorderPicture(320, 240, i));
    waitUntilReady();
    while (sound * static_cast<int>(medleytest::kSoundFrames) < (i + 1) * 48000 / 30) {
      recorder_->mixer(*mixer, medleytest::recorderSound(sound), medleytest::recorderSoundTime(sound));
      ++sound;
    }
    rt_->runUntilIdle();
  }
  EXPECT_EQ(run(recorder_->stopRecording()), file);
  expectMovie(file, 3.0);
}

INSTANTIATE_TEST_SUITE_P(Containers, StreamRecorderFile, testing::Values("mp4", "mov"));

}  // namespace
