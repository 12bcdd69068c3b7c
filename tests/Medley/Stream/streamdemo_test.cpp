// Runs the streamdemo tool and reads its files back with the FFmpeg command
// line tools: what the outgoing stream's encoders give out must make a file
// that players read without a complaint.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "CommandOutput.h"
#include "TestPaths.h"

namespace {

using Output = qztest::CommandOutput;
using qztest::runCommand;

class StreamDemoTest : public testing::TestWithParam<std::pair<const char*, const char*>> {
 protected:
  void SetUp() override {
    tool_ = qztest::binaryDir() + "/tools/streamdemo";
    if (access(tool_.c_str(), X_OK) != 0) GTEST_SKIP() << "streamdemo is not built (tools off)";
    if (runCommand("ffprobe -version").status != 0) GTEST_SKIP() << "no ffprobe";
    dir_ = std::filesystem::temp_directory_path() / ("streamdemo-test-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }
  std::string tool_;
  std::filesystem::path dir_;
};

}  // namespace

TEST_P(StreamDemoTest, WritesAFileThatReadsBackCleanly) {
  const auto [codec, extension] = GetParam();
  const std::string file = (dir_ / (std::string("demo.") + extension)).string();
  const auto made = runCommand(tool_ + " --codec " + codec + " --seconds 2 --size 320x240 --out " + file);
  ASSERT_EQ(made.status, 0) << made.text;

  const auto probe = runCommand(
      "ffprobe -v error -of json -show_entries "
      "stream=codec_type,codec_name,profile,width,height,r_frame_rate,sample_rate,channels,"
      "color_primaries,color_transfer,color_space " +
      file);
  ASSERT_EQ(probe.status, 0) << probe.text;
  const auto streams = nlohmann::json::parse(probe.text).at("streams");
  ASSERT_EQ(streams.size(), 2u) << probe.text;
  for (const auto& s : streams) {
    if (s.at("codec_type") == "video") {
      EXPECT_EQ(s.at("codec_name"), codec);
      EXPECT_EQ(s.at("profile"), "Main");
      EXPECT_EQ(s.at("width"), 320);
      EXPECT_EQ(s.at("height"), 240);
      EXPECT_EQ(s.at("r_frame_rate"), "30/1");
      EXPECT_EQ(s.value("color_primaries", ""), "bt709");
      EXPECT_EQ(s.value("color_transfer", ""), "bt709");
      EXPECT_EQ(s.value("color_space", ""), "bt709");
    } else {
      EXPECT_EQ(s.at("codec_name"), "aac");
      EXPECT_EQ(s.at("sample_rate"), "48000");
      EXPECT_EQ(s.at("channels"), 2);
    }
  }
  EXPECT_NE(streams[0].at("codec_type"), streams[1].at("codec_type")) << probe.text;

  const auto frames = runCommand("ffprobe -v error -count_frames -select_streams v -show_entries "
                                 "stream=nb_read_frames -of csv=p=0 " + file);
  EXPECT_EQ(std::stoi(frames.text), 60);

  const auto decoded = runCommand("ffmpeg -nostdin -v error -i " + file + " -f null -");
  EXPECT_EQ(decoded.status, 0);
  EXPECT_EQ(decoded.text, "") << "the decoders complained";
}

INSTANTIATE_TEST_SUITE_P(Containers, StreamDemoTest,
                         testing::Values(std::make_pair("h264", "flv"), std::make_pair("hevc", "mp4"),
                                         std::make_pair("h264", "mov")),
                         [](const auto& info) { return std::string(info.param.first) + "_" + info.param.second; });
