// Publishes encoded picture and sound with rtmpsmoke to real servers that
// record it, and checks the recordings: HEVC + AAC over enhanced RTMP through
// node-media-server (read back with rtmpsmoke --check, since Debian's ffprobe
// cannot read enhanced FLV), and the program through nginx (read with ffprobe
// and ffmpeg).
#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <regex>

#include "RTMPMedley/RTMP/PeerTestSupport.h"
#include "TestPaths.h"
#include "peers/PeerProcess.h"

using namespace rtmptest;

namespace {

std::string smoke() { return qztest::binaryDir() + "/tools/rtmpsmoke"; }

// A server started by `script`, what rtmpsmoke printed publishing to it with
// `arguments`, and the settled recording (empty after a failure).
struct Published {
  std::unique_ptr<PeerProcess> server;
  CommandRun run;
  std::string recording;
};

Published publish(const char* script, const char* directory, const std::string& arguments) {
  Published p{std::make_unique<PeerProcess>(script, peerDirectory(directory)), {-1, ""}, ""};
  if (!std::filesystem::exists(smoke())) p.run.output = "build the rtmpsmoke target first";
  if (!p.server->ok()) p.run.output += p.server->output();
  if (!p.run.output.empty()) return p;
  p.run = run(smoke() + " --url " + loopbackURL(p.server->port()) + " " + arguments);
  if (p.run.succeeded()) p.recording = settledRecording(p.server->value("RECORD_DIR")).string();
  return p;
}

}  // namespace

TEST(SmokeTest, HevcOverEnhancedRtmpThroughNodeMediaServerDecodes) {
  const auto [server, published, recording] =
      publish("node-media-server.sh", "smoke-nms", "--key smoke --codec hevc --seconds 5 --size 1280x720 --fps 30");
  ASSERT_FALSE(recording.empty()) << published.output;
  const auto checked = run(smoke() + " --check " + recording);
  EXPECT_TRUE(checked.succeeded()) << checked.output;
  for (const char* line : {"video: hevc 1280x720", " 0 decoding errors, 30 fps", "audio: aac 48000 Hz, 2 channels"})
    EXPECT_NE(checked.output.find(line), std::string::npos) << checked.output;
  std::cout << "HEVC through node-media-server:\n" << checked.output;
}

// Goes live with the program picture and sound on the real clock (camera A,
// a dissolve to camera B, the test tone) and reads the recording back.
TEST(SmokeTest, ProgramGoesLiveThroughNginxWithEveryPictureInOrder) {
  const auto [server, published, recording] =
      publish("nginx-rtmp.sh", "smoke-program", "--key program --source program --resolution 720p --seconds 4 --switch-at 1.5");
  ASSERT_FALSE(recording.empty()) << published.output;
  for (const char* line : {"picture on air: Test Pattern B", "sound on air: Test Tone",
                           "status: NetConnection.Connect.Closed", " 0 dropped before the encoder"})
    EXPECT_NE(published.output.find(line), std::string::npos) << published.output;

  const auto probe = run("ffprobe -v error -count_frames -show_entries "
                         "stream=codec_name,width,height,sample_rate,channels,nb_read_frames -of compact=p=0 " +
                         recording);
  std::smatch video;
  ASSERT_TRUE(std::regex_search(probe.output, video,
                                std::regex("codec_name=h264\\|width=1280\\|height=720\\|nb_read_frames=([0-9]+)")))
      << probe.output;
  // Every picture the program made, 30 a second from the start (the slate before the first camera frame).
  std::smatch made;
  ASSERT_TRUE(std::regex_search(published.output, made, std::regex("program: ([0-9]+) pictures made")))
      << published.output;
  EXPECT_EQ(video[1], made[1]) << published.output;
  EXPECT_GE(std::stoi(video[1]), 115) << probe.output;
  EXPECT_LE(std::stoi(video[1]), 130) << probe.output;
  EXPECT_NE(probe.output.find("codec_name=aac|sample_rate=48000|channels=2"), std::string::npos) << probe.output;
  expectDecodesCleanly(recording);

  // Also where the slate gives way to the first camera.
  EXPECT_EQ(std::to_string(steadyDecodeTimes(recording).size()), std::string(video[1]));
}
