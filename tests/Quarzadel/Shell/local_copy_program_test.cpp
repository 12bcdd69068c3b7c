// The local copy the quarzadel program writes while live, read back with ffprobe
// and ffmpeg: a clean stop leaves a whole, well-tagged movie and says where it
// is; a kill -9 leaves one that still plays up to shortly before the kill.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <regex>

#include "CommandOutput.h"
#include "ProgramRun.h"
#include "Quarzadel/Studio/program_copy_support.h"
#include "peers/PeerProcess.h"

namespace quarzadel {
namespace {

using nlohmann::json;
using qztest::ProgramRun;
using qztest::runCommand;

// The copy is on by default: no flag turns it on.
std::vector<std::string> studio(const std::string& url, const std::string& title, const std::string& scenario) {
  return {"-SyntheticSources", "YES",     "-SkipPermissionPrompts", "YES", "-OpenStudio",       "copy",
          "-OpenStudioTitle",  title,     "-RTMPServerOverride",    url,   "-StreamCodec",      "h264",
          "-StudioResolution", "720p",    "-Events",                "json", "-Scenario",         scenario};
}

std::string quoted(const std::filesystem::path& file) { return "'" + file.string() + "'"; }

// The movies in the copy's folder.
std::vector<std::filesystem::path> copies(const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> out;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir / "videos" / "Quarzadel", ec))
    if (entry.path().extension() == ".mp4") out.push_back(entry.path());
  return out;
}

bool isStatus(const json& e, const char* status) { return e["event"] == "status" && e["status"] == status; }

class LocalCopyProgram : public testing::Test {
 protected:
  void SetUp() override {
    if (runCommand("ffprobe -version").status != 0) GTEST_SKIP() << "no ffprobe";
    ASSERT_TRUE(nginx_.ok()) << nginx_.output();
    url_ = "rtmp://127.0.0.1:" + std::to_string(nginx_.port()) + "/live";
  }

  rtmptest::PeerProcess nginx_{"nginx-rtmp.sh", rtmptest::peerDirectory("shell-copy-nginx")};
  std::string url_;
};

TEST_F(LocalCopyProgram, TwelveSecondsLiveLeaveAWholeTaggedCopyAndANoticeNamingIt) {
  const auto dir = qztest::scratch("copy-whole");
  ProgramRun run(dir, studio(url_, "Morning Show", "golive; wait 12; stop; close"));
  ASSERT_EQ(run.wait(90), 0) << run.errors();

  const auto files = copies(dir);
  ASSERT_EQ(files.size(), 1u) << "copies in " << (dir / "videos" / "Quarzadel");
  const auto file = files.front();
  EXPECT_TRUE(std::regex_match(file.filename().string(),
                               std::regex(R"(Morning Show \d{4}-\d\d-\d\d \d\d\.\d\d\.\d\d\.mp4)")))
      << file.filename();
  const std::string saved = "Saved a copy of your stream: " + file.filename().string();
  EXPECT_GE(run.firstEvent([&](const json& e) { return e["event"] == "notice" && e["text"] == saved; }), 0)
      << "no notice \"" << saved << "\"";

  const auto probe = runCommand(
      "ffprobe -v error -of json -show_entries stream=codec_type,codec_name,width,height,avg_frame_rate,sample_rate,"
      "channels,bit_rate,color_primaries,color_transfer,color_space,start_time:format=duration " + quoted(file));
  ASSERT_EQ(probe.status, 0) << probe.text;
  const auto info = json::parse(probe.text, nullptr, false);
  // The copy is written in real time: on a machine busy with other work its
  // encoder may miss a picture now and then.
  studiotest::expectTwelveSecondCopy(info, 1280, 720, 2);
  // While the tone sounds the sound is coded near the copy's rate, 192 kbit/s (the
  // encoder's average shifts bits between packets, and the beeps' edges count
  // too); well above the stream's 96 kbit/s.
  const auto sizes = runCommand("ffprobe -v error -select_streams a -show_entries packet=size -of csv=p=0 " +
                                quoted(file));
  int64_t bytes = 0, sounding = 0;
  std::istringstream packets(sizes.text);
  for (std::string line; std::getline(packets, line);)
    if (!line.empty() && std::stoi(line) > 100) {
      bytes += std::stoi(line);
      ++sounding;
    }
  ASSERT_GT(sounding, 20) << "the tone is not in the copy";
  const double soundingRate = bytes * 8.0 / (sounding * 1024 / 48000.0);
  EXPECT_GT(soundingRate, 192000 * 0.55);
  EXPECT_LT(soundingRate, 192000 * 1.25);

  const auto decoded = runCommand("ffmpeg -nostdin -v error -i " + quoted(file) + " -f null -");
  EXPECT_EQ(decoded.status, 0);
  EXPECT_EQ(decoded.text, "") << "the decoders complained";
}

TEST_F(LocalCopyProgram, AKillWhileLiveLeavesACopyThatPlaysToWithinTwoAndAHalfSecondsOfIt) {
  const auto dir = qztest::scratch("copy-killed");
  ProgramRun run(dir, studio(url_, "Killed", "golive; wait 60; stop; close"));
  // The copy begins as the go-live does, before the connection.
  const double began = run.awaitEvent([](const json& e) { return isStatus(e, "connecting"); }, 30);
  ASSERT_GE(began, 0) << run.errors();
  ASSERT_GE(run.awaitEvent([](const json& e) { return isStatus(e, "live"); }, 20), 0) << run.errors();
  run.sleepUntil(began + 8);
  const double killedAt = run.seconds();
  run.signal(SIGKILL);
  EXPECT_EQ(run.wait(10), 128 + SIGKILL);

  const auto files = copies(dir);
  ASSERT_EQ(files.size(), 1u);
  const auto times = runCommand("ffprobe -v error -select_streams v -show_entries frame=pts_time -of csv=p=0 " +
                                quoted(files.front()));
  ASSERT_EQ(times.status, 0) << times.text;
  std::vector<double> pictures;
  std::istringstream lines(times.text);
  for (std::string line; std::getline(lines, line);)
    if (!line.empty()) pictures.push_back(std::stod(line));
  ASSERT_FALSE(pictures.empty()) << "no picture decodes";
  const auto [first, last] = std::minmax_element(pictures.begin(), pictures.end());
  const double played = *last - *first, live = killedAt - began;
  std::cout << "the copy plays " << played << " s of the " << live << " s before the kill\n";
  EXPECT_GE(played, live - 2.5) << "the copy ends too long before the kill";
  EXPECT_LE(played, live);

  const auto decoded = runCommand("ffmpeg -nostdin -v error -i " + quoted(files.front()) + " -f null -");
  EXPECT_EQ(decoded.status, 0) << decoded.text;
}

}  // namespace
}  // namespace quarzadel
