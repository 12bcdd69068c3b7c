// Publishes 5 s of encoded picture and sound with rtmpsmoke to real servers
// that record it, and checks the recordings: H.264 + AAC through nginx (read
// with ffprobe and ffmpeg), HEVC + AAC over enhanced RTMP through
// node-media-server (read back with the project's own message readers and
// libavcodec, since Debian's ffprobe cannot read enhanced FLV).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <regex>
#include <sstream>
#include <thread>

#include "TestPaths.h"
#include "peers/PeerProcess.h"

using namespace rtmptest;

namespace {

struct CommandRun {
  int status = -1;
  std::string output;
  bool succeeded() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
};

CommandRun run(const std::string& command) {
  CommandRun r;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return r;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe)) r.output += buffer;
  r.status = ::pclose(pipe);
  return r;
}

std::string smoke() { return qztest::binaryDir() + "/tools/rtmpsmoke"; }

// The recording once the server has stopped writing it.
std::filesystem::path settledRecording(const std::filesystem::path& dir) {
  std::filesystem::path found;
  uintmax_t lastSize = 0;
  for (int i = 0; i < 100; ++i) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir, ec))
      if (entry.is_regular_file() && entry.path().extension() == ".flv") found = entry.path();
    if (!found.empty()) {
      const auto size = std::filesystem::file_size(found, ec);
      if (size > 0 && size == lastSize) return found;
      lastSize = size;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return found;
}

}  // namespace

TEST(SmokeTest, H264AndAacThroughNginxRecordAsPublished) {
  ASSERT_TRUE(std::filesystem::exists(smoke())) << "build the rtmpsmoke target first";
  PeerProcess nginx("nginx-rtmp.sh", peerDirectory("smoke-nginx"));
  ASSERT_TRUE(nginx.ok()) << nginx.output();
  const auto published = run(smoke() + " --url rtmp://127.0.0.1:" + std::to_string(nginx.port()) +
                             "/live --key smoke --codec h264 --seconds 5 --size 1280x720 --fps 30");
  ASSERT_TRUE(published.succeeded()) << published.output;
  const auto recording = settledRecording(nginx.value("RECORD_DIR"));
  ASSERT_FALSE(recording.empty());

  const auto probe = run("ffprobe -v error -show_entries stream=codec_name,width,height,r_frame_rate,sample_rate,channels "
                         "-of compact=p=0 " + recording.string());
  ASSERT_TRUE(probe.succeeded()) << probe.output;
  EXPECT_NE(probe.output.find("codec_name=h264|width=1280|height=720|r_frame_rate=30/1"), std::string::npos)
      << probe.output;
  EXPECT_NE(probe.output.find("codec_name=aac|sample_rate=48000|channels=2"), std::string::npos) << probe.output;
  const auto decoded = run("ffmpeg -v error -i " + recording.string() + " -f null -");
  EXPECT_TRUE(decoded.succeeded());
  EXPECT_EQ(decoded.output, "");

  const auto checked = run(smoke() + " --check " + recording.string());
  EXPECT_TRUE(checked.succeeded()) << checked.output;
  std::smatch offset;
  ASSERT_TRUE(std::regex_search(checked.output, offset, std::regex("A/V offset \\(first sound - first picture\\): (-?[0-9]+) ms")))
      << checked.output;
  std::cout << "H.264 through nginx: A/V offset " << offset[1] << " ms\n" << checked.output;
  // Sound and picture start together, up to the picture's composition delay.
  EXPECT_LE(std::abs(std::stoi(offset[1])), 150);
}

TEST(SmokeTest, HevcOverEnhancedRtmpThroughNodeMediaServerDecodes) {
  ASSERT_TRUE(std::filesystem::exists(smoke())) << "build the rtmpsmoke target first";
  PeerProcess server("node-media-server.sh", peerDirectory("smoke-nms"));
  ASSERT_TRUE(server.ok()) << server.output();
  const auto published = run(smoke() + " --url rtmp://127.0.0.1:" + std::to_string(server.port()) +
                             "/live --key smoke --codec hevc --seconds 5 --size 1280x720 --fps 30");
  ASSERT_TRUE(published.succeeded()) << published.output;
  const auto recording = settledRecording(server.value("RECORD_DIR"));
  ASSERT_FALSE(recording.empty());

  const auto checked = run(smoke() + " --check " + recording.string());
  EXPECT_TRUE(checked.succeeded()) << checked.output;
  EXPECT_NE(checked.output.find("video: hevc 1280x720"), std::string::npos) << checked.output;
  EXPECT_NE(checked.output.find(" 0 decoding errors, 30 fps"), std::string::npos) << checked.output;
  EXPECT_NE(checked.output.find("audio: aac 48000 Hz, 2 channels"), std::string::npos) << checked.output;
  std::cout << "HEVC through node-media-server:\n" << checked.output;
}

// Goes live with the program picture and sound on the real clock (camera A,
// a dissolve to camera B, the test tone) and reads the recording back.
TEST(SmokeTest, ProgramGoesLiveThroughNginxWithEveryPictureInOrder) {
  ASSERT_TRUE(std::filesystem::exists(smoke())) << "build the rtmpsmoke target first";
  PeerProcess nginx("nginx-rtmp.sh", peerDirectory("smoke-program"));
  ASSERT_TRUE(nginx.ok()) << nginx.output();
  const auto published = run(smoke() + " --url rtmp://127.0.0.1:" + std::to_string(nginx.port()) +
                             "/live --key program --source program --resolution 720p --seconds 4 --switch-at 1.5");
  ASSERT_TRUE(published.succeeded()) << published.output;
  EXPECT_NE(published.output.find("picture on air: Test Pattern B"), std::string::npos) << published.output;
  EXPECT_NE(published.output.find("sound on air: Test Tone"), std::string::npos) << published.output;
  EXPECT_NE(published.output.find("status: NetConnection.Connect.Closed"), std::string::npos) << published.output;
  EXPECT_NE(published.output.find(" 0 dropped before the encoder"), std::string::npos) << published.output;
  const auto recording = settledRecording(nginx.value("RECORD_DIR"));
  ASSERT_FALSE(recording.empty());

  const auto probe = run("ffprobe -v error -count_frames -show_entries "
                         "stream=codec_name,width,height,sample_rate,channels,nb_read_frames -of compact=p=0 " +
                         recording.string());
  ASSERT_TRUE(probe.succeeded()) << probe.output;
  std::smatch video;
  ASSERT_TRUE(std::regex_search(probe.output, video,
                                std::regex("codec_name=h264\\|width=1280\\|height=720\\|nb_read_frames=([0-9]+)")))
      << probe.output;
  // 30 pictures a second from the start, holding before the first camera frame.
  EXPECT_GE(std::stoi(video[1]), 110) << probe.output;
  EXPECT_LE(std::stoi(video[1]), 122) << probe.output;
  EXPECT_NE(probe.output.find("codec_name=aac|sample_rate=48000|channels=2"), std::string::npos) << probe.output;
  const auto decoded = run("ffmpeg -v error -i " + recording.string() + " -f null -");
  EXPECT_TRUE(decoded.succeeded());
  EXPECT_EQ(decoded.output, "");

  // Decode times strictly increase: no picture was stamped onto another's time.
  const auto packets =
      run("ffprobe -v error -select_streams v -show_entries packet=dts -of csv=p=0 " + recording.string());
  ASSERT_TRUE(packets.succeeded()) << packets.output;
  std::istringstream lines(packets.output);
  std::string line;
  long previous = -1, count = 0;
  while (std::getline(lines, line)) {
    const long dts = std::stol(line);
    EXPECT_GT(dts, previous) << "picture " << count;
    previous = dts;
    ++count;
  }
  EXPECT_EQ(std::to_string(count), std::string(video[1]));
}
