// The copy written while live, read back with the FFmpeg command-line tools: what
// was streamed, at the copy's own settings, and a copy cut short by a kill still
// plays up to shortly before the kill.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <iterator>
#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "program_copy_support.h"

namespace {

using studiotest::quoted;
using studiotest::runCommand;

class LocalCopyFile : public testing::Test {
 protected:
  void SetUp() override {
    if (runCommand("ffprobe -version").status != 0) GTEST_SKIP() << "no ffprobe";
    dir_ = std::filesystem::temp_directory_path() / ("local-copy-file-" + std::to_string(getpid()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    if (!dir_.empty() && !std::getenv("QZ_KEEP")) std::filesystem::remove_all(dir_, ignored);
  }
  nlohmann::json probe(const std::filesystem::path& file, const std::string& entries) {
    const auto out = runCommand("ffprobe -v error -of json " + entries + " " + quoted(file));
    EXPECT_EQ(out.status, 0) << out.text;
    return nlohmann::json::parse(out.text, nullptr, false);
  }
  // The presentation time of the last picture that decodes.
  double lastPictureTime(const std::filesystem::path& file) {
    const auto out = runCommand("ffprobe -v error -select_streams v -show_entries frame=pts_time -of csv=p=0 " +
                                quoted(file) + " | tail -1");
    return std::stod(out.text);
  }
  std::filesystem::path dir_;
};

TEST_F(LocalCopyFile, TwelveSecondsLiveWriteAnH264AndAACCopyThatPlaysCleanly) {
  studiotest::ProgramCopy live;
  live.start(dir_, "Morning Show");
  ASSERT_FALSE(live.startNotice);
  const auto url = *live.slot->recordingURL();
  live.run(12.0);
  const auto notice = live.finish();
  ASSERT_TRUE(notice);
  EXPECT_EQ(notice->text, "Saved a copy of your stream: " + url.filename().string());
  EXPECT_EQ(url.parent_path(), dir_ / "Quarzadel");

  const auto info = probe(url,
                          "-show_entries stream=codec_type,codec_name,profile,width,height,avg_frame_rate,sample_rate,"
                          "channels,bit_rate,color_primaries,color_transfer,color_space,start_time:format=duration");
  studiotest::expectTwelveSecondCopy(info, 1920, 1080, 1);
  for (const auto& s : info.at("streams"))
    if (s.at("codec_type") == "video") EXPECT_EQ(s.at("profile"), "High");

  const auto decoded = runCommand("ffmpeg -nostdin -v error -i " + quoted(std::filesystem::path(url)) + " -f null -");
  EXPECT_EQ(decoded.status, 0);
  EXPECT_EQ(decoded.text, "") << "the decoders complained";
}

TEST_F(LocalCopyFile, ACopyCutShortByAKillPlaysToWithinTwoAndAHalfSecondsOfIt) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const auto urlFile = dir_ / "url";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ready[0]);
    studiotest::ProgramCopy live;
    live.config.resolution = quarzadel::StreamConfig::Resolution::hd720;
    live.start(dir_, "Killed");
    const auto url = live.slot->recordingURL();
    if (!url) _exit(3);
    std::FILE* out = std::fopen(urlFile.c_str(), "w");
    std::fputs(url->c_str(), out);
    std::fclose(out);
    live.run(7.0);
    // Everything up to 7 s has been handed over and taken by the encoder.
    if (write(ready[1], "k", 1) != 1) _exit(4);
    for (;;) pause();
  }
  close(ready[1]);
  char signal = 0;
  const auto got = read(ready[0], &signal, 1);
  close(ready[0]);
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_EQ(got, 1) << "the recording process ended early, status " << status;
  ASSERT_TRUE(WIFSIGNALED(status));

  std::string url;
  std::getline(std::ifstream(urlFile), url);
  ASSERT_TRUE(std::filesystem::exists(url));
  const double last = lastPictureTime(std::filesystem::path(url));
  EXPECT_GE(last, 7.0 - 2.5) << "the copy ends too long before the kill";
  EXPECT_LE(last, 7.0);
  std::cout << "the copy plays to " << last << " s of 7.0 s\n";
  const auto decoded = runCommand("ffmpeg -nostdin -v error -i " + quoted(std::filesystem::path(url)) + " -f null -");
  EXPECT_EQ(decoded.status, 0) << decoded.text;
}

}  // namespace
