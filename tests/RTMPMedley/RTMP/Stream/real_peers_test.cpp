// The stream against real servers on loopback: publishing through rtmpsmoke
// (which publishes through RTMPStream) to nginx, read from nginx's recording;
// publishing HEVC over enhanced RTMP to node-media-server and playing it back.
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "Medley/Codec/video_test_support.h"
#include "RTMPMedley/RTMP/PeerTestSupport.h"
#include "StreamTestSupport.h"
#include "TestPaths.h"
#include "peers/PeerProcess.h"

using namespace rtmptest;
using namespace rtmpmedley;

namespace {

std::string smoke() { return qztest::binaryDir() + "/tools/rtmpsmoke"; }

using StreamPeersTest = RealTimeTest<4>;

// Takes the publish, reads for a second, hangs up.
void hangsUpASecondIntoThePublish(PeerSession& s, int) {
  if (!s.handshakeAndAccept()) return;
  while (auto c = s.readCommand()) {
    if (c->commandName == "createStream") s.sendResult(c->transactionId, {AMFValue(1.0)});
    if (c->commandName != "publish") continue;
    s.sendStatus("onStatus", 0, "NetStream.Publish.Start", "status", "", 1);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < until && s.readMessage(platform::milliseconds(200))) {
    }
    return;
  }
}

}  // namespace

TEST_F(StreamPeersTest, PublishesToNginxWithSoundAndPictureStartingTogether) {
  PeerProcess nginx("nginx-rtmp.sh", peerDirectory("stream-nginx"));
  ASSERT_TRUE(nginx.ok()) << nginx.output();
  const auto published = qztest::runCommand(smoke() + " --url " + loopbackURL(nginx.port()) +
                                            " --key ten --codec h264 --seconds 4 --size 1280x720 --fps 30");
  ASSERT_TRUE(published.succeeded()) << published.text;
  const auto recording = settledRecording(nginx.value("RECORD_DIR"), "ten");
  expectDecodesCleanly(recording.string());
  // Sound and picture start together, up to the picture's composition delay.
  const auto checked = qztest::runCommand(smoke() + " --check " + recording.string());
  std::smatch match;
  ASSERT_TRUE(std::regex_search(checked.text, match, std::regex(R"(A/V offset \(first sound - first picture\): (-?\d+) ms)")))
      << checked.text;
  EXPECT_LE(std::abs(std::stoi(match[1])), 150);
}

TEST_F(StreamPeersTest, PlaysHevcFromNodeMediaServer) {
  PeerProcess server("node-media-server.sh", peerDirectory("stream-nms"));
  ASSERT_TRUE(server.ok()) << server.output();
  const std::string url = loopbackURL(server.port());
  const auto name = freshName("hevc");
  // The server serves only names already published, from the last key frame.
  Background publisher(smoke() + " --url " + url + " --key " + name + " --codec hevc --seconds 5 --size 1280x720");
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  // Not every server answers "closeStream" of a play: the close waits less.
  RTMPConnection::Settings settings;
  settings.requestTimeout = std::chrono::seconds(2);
  auto connection = std::make_shared<RTMPConnection>(settings, rt);
  auto stream = RTMPStream::make(connection);
  auto counter = std::make_shared<MediaCounter>();
  wait(stream->addOutput(counter));
  wait(connection->connect(url));
  ASSERT_TRUE(eventually([&] { return wait(stream->id()) != 0; }));
  EXPECT_EQ(wait(stream->play({AMFValue(name)})).status->code, "NetStream.Play.Start");
  const auto published = publisher.finish();
  ASSERT_TRUE(published.succeeded()) << published.text;
  counter->settle();
  const auto format = wait(stream->snapshot()).videoFormat;
  ASSERT_TRUE(format);
  EXPECT_EQ(std::tuple(format->mediaSubType(), format->dimensions().width, format->dimensions().height),
            std::tuple(platform::fourCC("hvc1"), 1280, 720));
  EXPECT_GE(counter->pictures(), 145u);
  EXPECT_LE(counter->pictures(), 150u);
  EXPECT_EQ(counter->outOfOrder(), 0);
  // What the server recorded, read by rtmpsmoke --check since Debian's ffprobe cannot read enhanced FLV.
  const auto checked = qztest::runCommand(smoke() + " --check " + settledRecording(server.value("RECORD_DIR")).string());
  for (const char* line : {"video: hevc 1280x720", " 0 decoding errors, 30 fps", "audio: aac 48000 Hz, 2 channels"})
    EXPECT_NE(checked.text.find(line), std::string::npos) << checked.text;
  try {
    wait(connection->close());
  } catch (...) {
  }
}

TEST_F(StreamPeersTest, SmokeFailsWhenTheServerHangsUpBeforeItsTimeIsUp) {
  ScriptedRTMPPeer peer(hangsUpASecondIntoThePublish);
  const auto published = qztest::runCommand("timeout 30 " + smoke() + " --url " + peer.url() +
                                            " --codec h264 --seconds 3 --size 320x240 --fps 30");
  EXPECT_EQ(published.exitCode(), 1) << published.text;
  EXPECT_NE(published.text.find("closed by the server before the end"), std::string::npos) << published.text;
}

TEST_F(StreamPeersTest, SmokeStopsAsSoonAsTheServerHangsUpNotAtTheEndOfItsTime) {
  ScriptedRTMPPeer peer(hangsUpASecondIntoThePublish, 2);
  // Both sources: synthetic pictures made by the tool, and the program's.
  for (const char* source : {"--size 320x240 --fps 30", "--source program --resolution 720p --to none"}) {
    SCOPED_TRACE(source);
    const auto began = std::chrono::steady_clock::now();
    const auto published = qztest::runCommand("timeout 30 " + smoke() + " --url " + peer.url() +
                                              " --codec h264 --seconds 10 " + source);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    EXPECT_EQ(published.exitCode(), 1) << published.text;
    EXPECT_NE(published.text.find("closed by the server before the end"), std::string::npos) << published.text;
    // Ten seconds asked for, about two taken: the run ends with its connection.
    EXPECT_LT(took, 6.0) << published.text;
  }
}

TEST_F(StreamPeersTest, EveryPictureTheStreamDropsIsCountedTheEncoderThreadsOwnQueueIncluded) {
  ScriptedRTMPPeer peer([](PeerSession& s, int) {
    if (!s.handshakeAndAccept()) return;
    while (auto r = s.readMessage()) {
      const auto c = std::dynamic_pointer_cast<RTMPCommandMessage>(r->message);
      if (c && c->commandName == "createStream") s.sendResult(c->transactionId, {AMFValue(1.0)});
      if (c && c->commandName == "publish") s.sendStatus("onStatus", 0, "NetStream.Publish.Start", "status", "", 1);
      if (c && c->commandName == "closeStream")
        s.sendStatus("onStatus", 0, "NetStream.Unpublish.Success", "status", "", 1);
    }
  });
  auto connection = RTMPConnection::make(rt);
  auto stream = RTMPStream::make(connection);
  wait(connection->connect(peer.url()));
  medley::VideoCodecSettings video;
  video.videoSize = {1280, 720};
  video.allowFrameReordering = false;
  video.expectedFrameRate = 30;
  wait(stream->setVideoSettings(video));
  wait(stream->publish("key"));
  // Five seconds of 720p pictures handed in at once: far faster than x264
  // takes them, so its thread's queue keeps the newest and drops the rest.
  const auto picture = videotest::makePicture(1280, 720, 0);
  constexpr uint64_t kPictures = 150;
  for (uint64_t i = 1; i <= kPictures; ++i)
    wait(stream->append(videotest::makeFrame(picture, videotest::frameTime(static_cast<int>(i)))));
  wait(stream->finishOutgoing());
  const auto s = wait(stream->snapshot());
  EXPECT_GT(s.droppedVideoInput, 0u);
  EXPECT_EQ(s.videoMessages + s.droppedVideoInput + s.droppedVideoOutput, kPictures)
      << s.videoMessages << " sent, " << s.droppedVideoInput << " and " << s.droppedVideoOutput << " dropped";
  wait(connection->close());
}
