// The stream against a real server on loopback: playing back the HEVC that
// rtmpsmoke publishes to node-media-server.
#include <gtest/gtest.h>

#include <thread>

#include "RTMPMedley/RTMP/PeerTestSupport.h"
#include "StreamTestSupport.h"
#include "TestPaths.h"
#include "peers/PeerProcess.h"

using namespace rtmptest;
using namespace rtmpmedley;

namespace {

std::string smoke() { return qztest::binaryDir() + "/tools/rtmpsmoke"; }

using StreamPeersTest = RealTimeTest<4>;

}  // namespace

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
  ASSERT_TRUE(published.succeeded()) << published.output;
  counter->settle();
  const auto format = wait(stream->snapshot()).videoFormat;
  ASSERT_TRUE(format);
  EXPECT_EQ(std::tuple(format->mediaSubType(), format->dimensions().width, format->dimensions().height),
            std::tuple(platform::fourCC("hvc1"), 1280, 720));
  EXPECT_GE(counter->pictures(), 145u);
  EXPECT_LE(counter->pictures(), 150u);
  EXPECT_EQ(counter->outOfOrder(), 0);
  try {
    wait(connection->close());
  } catch (...) {
  }
}
