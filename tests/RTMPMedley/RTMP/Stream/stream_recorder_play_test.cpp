// The stream recorder attached to a stream that plays from nginx while ffmpeg
// publishes to it: the pictures and sound the stream decodes end up in an MP4
// or QuickTime movie that ffprobe and ffmpeg read back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include <nlohmann/json.hpp>

#include "CommandOutput.h"
#include "Medley/Sources/Stream/StreamRecorder.h"
#include "Platform/Concurrency/BlockingWait.h"
#include "Platform/Dispatch/Runtime.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPConnection.h"
#include "RTMPMedley/Sources/RTMP/Stream/RTMPStream.h"
#include "peers/PeerProcess.h"

namespace {

using platform::Async;
using qztest::runCommand;
using rtmpmedley::RTMPConnection;
using rtmpmedley::RTMPStream;

class StreamRecorderPlaying : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (runCommand("ffprobe -version").status != 0) GTEST_SKIP() << "no ffprobe";
    dir_ = std::filesystem::temp_directory_path() / ("recorder-playing-" + std::to_string(::getpid()) + "-" + GetParam());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  template <class T>
  T wait(Async<T> work) {
    return platform::blockingWait(std::move(work), rt_->globalQueue());
  }

  std::shared_ptr<platform::ThreadRuntime> rt_ = std::make_shared<platform::ThreadRuntime>(4);
  std::filesystem::path dir_;
};

TEST_P(StreamRecorderPlaying, RecordsWhatThePlayingStreamDecodes) {
  rtmptest::PeerProcess nginx("nginx-rtmp.sh", rtmptest::peerDirectory(std::string("recorder-play-") + GetParam()));
  ASSERT_TRUE(nginx.ok()) << nginx.output();
  const std::string url = "rtmp://127.0.0.1:" + std::to_string(nginx.port()) + "/live";
  const std::string name = std::string("played") + GetParam();

  RTMPConnection::Settings settings;
  settings.requestTimeout = std::chrono::seconds(2);  // nginx leaves "closeStream" of a play unanswered
  auto connection = std::make_shared<RTMPConnection>(settings, rt_);
  auto stream = RTMPStream::make(connection);
  auto recorder = medley::StreamRecorder::make(rt_);
  wait(recorder->setMoviesDirectory(dir_));
  wait(stream->addOutput(recorder));
  const auto file = dir_ / (std::string("played.") + GetParam());
  wait(recorder->startRecording(file, medley::StreamRecorder::defaultSettings()));
  auto errors = wait(recorder->error());

  wait(connection->connect(url));
  for (int i = 0; i < 100 && wait(stream->id()) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const auto response = wait(stream->play({rtmpmedley::AMFValue(name)}));
  ASSERT_TRUE(response.status);
  EXPECT_EQ(response.status->code, "NetStream.Play.Start");
  const auto published =
      runCommand("ffmpeg -nostdin -v error -re -f lavfi -i testsrc2=size=320x240:rate=30 -re -f lavfi -i "
                 "sine=frequency=440:sample_rate=48000 -t 4 -c:v libx264 -preset veryfast -g 30 -bf 0 "
                 "-pix_fmt yuv420p -c:a aac -ac 2 -b:a 128k -f flv " + url + "/" + name);
  ASSERT_EQ(published.status, 0) << published.text;
  // The last pictures leave the stream at their presentation time.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_EQ(wait(recorder->stopRecording()), file);
  EXPECT_FALSE(wait(recorder->isRecording()));
  try {
    wait(connection->close());
  } catch (...) {
  }

  const auto probe = runCommand(
      "ffprobe -v error -of json -show_entries "
      "stream=codec_type,codec_name,width,height,avg_frame_rate,sample_rate,channels:format=duration,format_name '" +
      file.string() + "'");
  ASSERT_EQ(probe.status, 0) << probe.text;
  const auto info = nlohmann::json::parse(probe.text);
  ASSERT_EQ(info.at("streams").size(), 2u) << probe.text;
  EXPECT_NE(info.at("format").at("format_name").get<std::string>().find("mp4"), std::string::npos);
  for (const auto& s : info.at("streams")) {
    if (s.at("codec_type") == "video") {
      EXPECT_EQ(s.at("codec_name"), "h264");
      EXPECT_EQ(s.at("width"), 320);
      EXPECT_EQ(s.at("height"), 240);
      const std::string rate = s.at("avg_frame_rate");
      const auto slash = rate.find('/');
      // A recorder that writes in real time may drop a picture the encoder is too busy to take.
      EXPECT_NEAR(std::stod(rate.substr(0, slash)) / std::stod(rate.substr(slash + 1)), 30, 2.5) << rate;
    } else {
      EXPECT_EQ(s.at("codec_name"), "aac");
      EXPECT_EQ(s.at("sample_rate"), "48000");
      EXPECT_EQ(s.at("channels"), 2);
    }
  }
  // Four seconds published; the play may begin a little into them.
  const double duration = std::stod(info.at("format").at("duration").get<std::string>());
  EXPECT_GE(duration, 3.0);
  EXPECT_LE(duration, 4.5);
  const auto decoded = runCommand("ffmpeg -nostdin -v error -i '" + file.string() + "' -f null -");
  EXPECT_EQ(decoded.status, 0);
  EXPECT_EQ(decoded.text, "") << "the decoders complained";
  EXPECT_EQ(errors.bufferedCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Containers, StreamRecorderPlaying, testing::Values("mp4", "mov"));

}  // namespace
