// The connection, the probe and the publish tool against real servers on
// loopback: nginx with its RTMP module, stunnel in front of it for RTMPS, and
// node-media-server.
#include <gtest/gtest.h>

#include <iostream>
#include <regex>
#include <thread>

#include "Platform/Files/ScopedEnv.h"
#include "Platform/Net/TestCertificates.h"
#include "RTMPMedley/RTMP/PeerTestSupport.h"
#include "TestPaths.h"
#include "peers/PeerProcess.h"

using namespace rtmptest;
using namespace rtmpmedley;

namespace {

std::string tool(const char* name) { return qztest::binaryDir() + "/tools/" + name; }

class RealPeersTest : public RealTimeTest<> {
 protected:
  const platform::testing::TestCertificates& certs = platform::testing::TestCertificates::shared();
  PeerProcess nginx{"nginx-rtmp.sh", peerDirectory("nginx")};
  PeerProcess stunnel{"stunnel.sh", peerDirectory("stunnel"),
                      {std::to_string(nginx.port()), certs.nameOnlyCert.string(), certs.nameOnlyKey.string()}};
  PeerProcess nodeMediaServer{"node-media-server.sh", peerDirectory("node-media-server")};
  platform::testing::ScopedEnv env;

  void SetUp() override {
    ASSERT_TRUE(certs.ok) << "no test certificates";
    for (const PeerProcess* peer : {&nginx, &stunnel, &nodeMediaServer}) ASSERT_TRUE(peer->ok()) << peer->output();
    for (const char* name : {"rtmpprobe", "rtmpsmoke"})
      ASSERT_TRUE(std::filesystem::exists(tool(name))) << "build the " << name << " target first";
    env.set("SSL_CERT_FILE", certs.caFile.string());
  }

  std::string rtmpsURL(const std::string& host = "localhost") const {
    return "rtmps://" + host + ":" + std::to_string(stunnel.port()) + "/live";
  }

  // Publishes with rtmpsmoke to `server`; what it printed and the settled recording.
  static std::pair<qztest::CommandOutput, std::string> publish(const PeerProcess& server, const std::string& arguments) {
    auto run = qztest::runCommand(tool("rtmpsmoke") + " --url " + loopbackURL(server.port()) + " " + arguments);
    return {run, run.succeeded() ? settledRecording(server.value("RECORD_DIR")).string() : ""};
  }
};

}  // namespace

TEST_F(RealPeersTest, ConnectsToEachServerAndTheProbeStaysConnectedWhileNginxPings) {
  for (const auto& url : {loopbackURL(nginx.port()), rtmpsURL(), loopbackURL(nodeMediaServer.port())}) {
    auto connection = RTMPConnection::make(rt);
    Collected<RTMPStatus> statuses(rt->globalQueue(), wait(connection->status()));
    wait(connection->connect(url));
    const auto created = wait(connection->call("createStream"));
    EXPECT_TRUE(!created.arguments.empty() && created.arguments[0].number()) << url;
    wait(connection->close());
    EXPECT_TRUE(eventually([&] { return statuses.values().size() >= 2; }));
    EXPECT_EQ(codes(statuses.values()), (std::vector<std::string>{"NetConnection.Connect.Success",
                                                                   "NetConnection.Connect.Closed"})) << url;
  }

  const std::string probe = tool("rtmpprobe") + " --ca " + certs.caFile.string();
  const auto good = qztest::runCommand(probe + " --stay 6 " + loopbackURL(nginx.port()) + " " + rtmpsURL());
  EXPECT_TRUE(good.succeeded()) << good.text;
  for (const char* line : {"connect: NetConnection.Connect.Success", "close: NetConnection.Connect.Closed",
                           "createStream: stream id "}) {
    size_t count = 0;
    for (size_t at = 0; (at = good.text.find(line, at)) != std::string::npos; ++at) ++count;
    EXPECT_EQ(count, 2u) << line << "\n" << good.text;
  }
  EXPECT_EQ(good.text.find("pings answered: 0"), std::string::npos) << good.text;

  // The wrong name fails cleanly: an error line and exit status 1, no crash.
  const auto wrong = qztest::runCommand(probe + " --stay 1 " + rtmpsURL("127.0.0.1"));
  EXPECT_EQ(wrong.exitCode(), 1) << wrong.text;
  EXPECT_NE(wrong.text.find("connect failed: RTMPConnection.Error.socketErrorOccurred"), std::string::npos)
      << wrong.text;
}

// HEVC + AAC over enhanced RTMP through node-media-server, read back with
// rtmpsmoke --check since Debian's ffprobe cannot read enhanced FLV; and the
// program (camera A, a dissolve to camera B, the test tone on the real clock)
// through nginx, read with ffprobe and ffmpeg.
TEST_F(RealPeersTest, PublishedHevcAndProgramRecordingsDecodeWithEveryPictureInOrder) {
  const auto [hevc, hevcRecording] =
      publish(nodeMediaServer, "--key smoke --codec hevc --seconds 5 --size 1280x720 --fps 30");
  ASSERT_FALSE(hevcRecording.empty()) << hevc.text;
  const auto checked = qztest::runCommand(tool("rtmpsmoke") + " --check " + hevcRecording);
  EXPECT_TRUE(checked.succeeded()) << checked.text;
  for (const char* line : {"video: hevc 1280x720", " 0 decoding errors, 30 fps", "audio: aac 48000 Hz, 2 channels"})
    EXPECT_NE(checked.text.find(line), std::string::npos) << checked.text;
  std::cout << "HEVC through node-media-server:\n" << checked.text;

  const auto [program, recording] =
      publish(nginx, "--key program --source program --resolution 720p --seconds 4 --switch-at 1.5");
  ASSERT_FALSE(recording.empty()) << program.text;
  for (const char* line : {"picture on air: Test Pattern B", "sound on air: Test Tone",
                           "status: NetConnection.Connect.Closed", " 0 dropped before the encoder"})
    EXPECT_NE(program.text.find(line), std::string::npos) << program.text;
  const auto probe = qztest::runCommand("ffprobe -v error -count_frames -show_entries "
                                        "stream=codec_name,width,height,sample_rate,channels,nb_read_frames -of compact=p=0 " +
                                        recording);
  std::smatch video, made;
  ASSERT_TRUE(std::regex_search(probe.text, video,
                                std::regex("codec_name=h264\\|width=1280\\|height=720\\|nb_read_frames=([0-9]+)")))
      << probe.text;
  EXPECT_NE(probe.text.find("codec_name=aac|sample_rate=48000|channels=2"), std::string::npos) << probe.text;
  // Every picture the program made, 30 a second from the start (the slate before the first camera frame).
  ASSERT_TRUE(std::regex_search(program.text, made, std::regex("program: ([0-9]+) pictures made"))) << program.text;
  EXPECT_EQ(video[1], made[1]) << program.text;
  EXPECT_GE(std::stoi(video[1]), 115) << probe.text;
  EXPECT_LE(std::stoi(video[1]), 130) << probe.text;
  expectDecodesCleanly(recording);
  // Steady also where the slate gives way to the first camera.
  EXPECT_EQ(std::to_string(steadyDecodeTimes(recording).size()), std::string(video[1]));
}

// The server dies while a connection is open: the closing status follows
// within a second.
using KilledPeerTest = RealTimeTest<>;

TEST_F(KilledPeerTest, AKilledNginxIsReportedClosedWithinASecond) {
  PeerProcess doomed("nginx-rtmp.sh", peerDirectory("nginx-killed"));
  ASSERT_TRUE(doomed.ok()) << doomed.output();
  auto connection = RTMPConnection::make(rt);
  Collected<RTMPStatus> statuses(rt->globalQueue(), wait(connection->status()));
  wait(connection->connect(loopbackURL(doomed.port())));
  const auto killed = killNginx(doomed);
  ASSERT_TRUE(eventually([&] { return statuses.values().size() == 2; }, platform::seconds(5)));
  EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(1));
  EXPECT_EQ(codes(statuses.values()).back(), "NetConnection.Connect.Closed");
}
