// The stream against real servers on loopback: publishing through rtmpsmoke
// (which publishes through RTMPStream) to nginx over RTMP and RTMPS, a killed
// nginx, and playing back what node-media-server carries (the session's tests
// play what ffmpeg publishes to nginx).
#include <gtest/gtest.h>

#include <iostream>
#include <regex>
#include <thread>

#include "Platform/Files/ScopedEnv.h"
#include "Platform/Net/TestCertificates.h"
#include "RTMPMedley/RTMP/PeerTestSupport.h"
#include "StreamTestSupport.h"
#include "TestPaths.h"
#include "peers/PeerProcess.h"

using namespace rtmptest;
using namespace rtmpmedley;
using medley::StreamReadyState;

namespace {

std::string smoke() { return qztest::binaryDir() + "/tools/rtmpsmoke"; }

class StreamPeersTest : public RealTimeTest<4> {
 protected:

  // Plays `name` from `url` while `publisher` publishes it; the pictures decoded.
  struct Played {
    std::vector<std::string> statuses;
    platform::FormatDescriptionRef format;
    size_t pictures = 0;
    int outOfOrder = 0;
    int64_t bytes = 0;
    CommandRun publisher;
    std::string describe() const {
      std::string out = std::to_string(bytes) + " bytes received; statuses:";
      for (const auto& s : statuses) out += " " + s;
      return out;
    }
  };
  // With `lead`, the publisher starts that long before the play (a server
  // that serves only names already published, from the last key frame).
  Played play(const std::string& url, const std::string& name, const std::string& publisher,
              std::optional<std::chrono::milliseconds> lead = std::nullopt) {
    Played out;
    std::optional<Background> early;
    // Not every server answers "closeStream" of a play: the close waits less.
    RTMPConnection::Settings settings;
    settings.requestTimeout = std::chrono::seconds(2);
    if (lead) {
      early.emplace(publisher);
      std::this_thread::sleep_for(*lead);
    }
    auto connection = std::make_shared<RTMPConnection>(settings, rt);
    auto stream = RTMPStream::make(connection);
    auto counter = std::make_shared<MediaCounter>();
    wait(stream->addOutput(counter));
    Collected<RTMPStatus> statuses(rt->globalQueue(), wait(stream->status()));
    wait(connection->connect(url));
    EXPECT_TRUE(eventually([&] { return wait(stream->id()) != 0; }));
    // Servers start the play of a name nobody publishes yet and wait for it.
    const auto response = wait(stream->play({AMFValue(name)}));
    EXPECT_EQ(response.status->code, "NetStream.Play.Start");
    if (early) {
      out.publisher = early->finish();
    } else {
      Background publishing(publisher);
      out.publisher = publishing.finish();
    }
    counter->settle();
    out.statuses = codes(statuses.values());
    const auto snapshot = wait(stream->snapshot());
    out.format = snapshot.videoFormat;
    out.bytes = snapshot.info.byteCount;
    out.pictures = counter->pictures();
    out.outOfOrder = counter->outOfOrder();
    try {
      wait(connection->close());
    } catch (...) {
    }
    return out;
  }
};

}  // namespace

TEST_F(StreamPeersTest, PublishesTenSecondsOf720pToNginxEveryPictureInOrder) {
  ASSERT_TRUE(std::filesystem::exists(smoke())) << "build the rtmpsmoke target first";
  PeerProcess nginx("nginx-rtmp.sh", peerDirectory("stream-nginx"));
  ASSERT_TRUE(nginx.ok()) << nginx.output();
  const std::string url = loopbackURL(nginx.port());
  Background publisher(smoke() + " --url " + url + " --key ten --codec h264 --seconds 10 --size 1280x720 --fps 30");
  std::this_thread::sleep_for(std::chrono::seconds(3));
  // The live stream, read while it is published.
  const auto live = run("timeout 10 ffprobe -v error -show_entries "
                        "stream=codec_name,width,height,r_frame_rate,sample_rate,channels -of compact=p=0 " +
                        url + "/ten");
  const auto published = publisher.finish();
  ASSERT_TRUE(published.succeeded()) << published.output;
  EXPECT_NE(live.output.find("codec_name=h264|width=1280|height=720|r_frame_rate=30/1"), std::string::npos)
      << live.output;
  EXPECT_NE(live.output.find("codec_name=aac|sample_rate=48000|channels=2"), std::string::npos) << live.output;
  std::smatch offset;
  ASSERT_TRUE(std::regex_search(published.output, offset, std::regex("A/V start offset[^:]*: (-?[0-9]+) ms")))
      << published.output;
  std::cout << "A/V start offset through RTMPStream: " << offset[1] << " ms\n";

  const auto recording = settledRecording(nginx.value("RECORD_DIR"), "ten");
  ASSERT_FALSE(recording.empty());
  const auto times = steadyDecodeTimes(recording.string());
  // Every picture made is in, the first (stamped zero) included.
  ASSERT_FALSE(times.empty());
  EXPECT_EQ(times.front(), 0);
  std::smatch sent;
  ASSERT_TRUE(std::regex_search(published.output, sent, std::regex("sent ([0-9]+) video"))) << published.output;
  EXPECT_EQ(static_cast<long>(times.size()), std::stol(sent[1]));
  EXPECT_GE(times.size(), 297u);
  EXPECT_LE(times.size(), 303u);
  expectDecodesCleanly(recording.string());
  // Sound and picture start together, up to the picture's composition delay.
  const auto checked = run(smoke() + " --check " + recording.string());
  ASSERT_TRUE(std::regex_search(checked.output, offset, std::regex("A/V offset \\(first sound - first picture\\): (-?[0-9]+) ms")))
      << checked.output;
  EXPECT_LE(std::abs(std::stoi(offset[1])), 150);
}

TEST_F(StreamPeersTest, PublishesOverRtmpsAndRefusesAWrongHostName) {
  const auto& certs = platform::testing::TestCertificates::shared();
  ASSERT_TRUE(certs.ok);
  PeerProcess nginx("nginx-rtmp.sh", peerDirectory("stream-nginx-tls"));
  ASSERT_TRUE(nginx.ok()) << nginx.output();
  PeerProcess stunnel("stunnel.sh", peerDirectory("stream-stunnel"),
                      {std::to_string(nginx.port()), certs.nameOnlyCert.string(), certs.nameOnlyKey.string()});
  ASSERT_TRUE(stunnel.ok()) << stunnel.output();
  platform::testing::ScopedEnv env;
  env.set("SSL_CERT_FILE", certs.caFile.string());
  const auto tls = [&](const std::string& host) {
    return "rtmps://" + host + ":" + std::to_string(stunnel.port()) + "/live";
  };
  const auto published = run(smoke() + " --url " + tls("localhost") + " --key secure --seconds 3 --size 1280x720");
  ASSERT_TRUE(published.succeeded()) << published.output;
  const auto recording = settledRecording(nginx.value("RECORD_DIR"), "secure");
  ASSERT_FALSE(recording.empty());
  const auto probe = run("ffprobe -v error -count_frames -show_entries stream=codec_name,nb_read_frames -of compact=p=0 " +
                         recording.string());
  EXPECT_NE(probe.output.find("codec_name=h264|nb_read_frames=90"), std::string::npos) << probe.output;

  const auto wrong = run(smoke() + " --url " + tls("127.0.0.1") + " --key wrong --seconds 1");
  EXPECT_FALSE(wrong.succeeded());
  EXPECT_NE(wrong.output.find("connect failed"), std::string::npos) << wrong.output;
}

TEST_F(StreamPeersTest, AKilledNginxClosesThePublishingStreamWithinASecond) {
  PeerProcess doomed("nginx-rtmp.sh", peerDirectory("stream-nginx-killed"));
  ASSERT_TRUE(doomed.ok()) << doomed.output();
  auto connection = RTMPConnection::make(rt);
  auto stream = RTMPStream::make(connection);
  Collected<RTMPStatus> statuses(rt->globalQueue(), wait(connection->status()));
  wait(connection->connect(loopbackURL(doomed.port())));
  ASSERT_TRUE(eventually([&] { return wait(stream->id()) != 0; }));
  wait(stream->publish("doomed"));
  ASSERT_EQ(wait(stream->readyState()), StreamReadyState::publishing);

  const auto killed = killNginx(doomed);
  ASSERT_TRUE(eventually([&] {
    const auto c = codes(statuses.values());
    return std::find(c.begin(), c.end(), "NetConnection.Connect.Closed") != c.end();
  }, platform::seconds(5)));
  EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(1));
  // The stream is idle again, and nothing waits on the dead server.
  EXPECT_TRUE(eventually([&] { return wait(stream->readyState()) == StreamReadyState::idle; }, platform::seconds(1)));
  EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(2));
}

TEST_F(StreamPeersTest, PlaysHevcFromNodeMediaServer) {
  PeerProcess server("node-media-server.sh", peerDirectory("stream-nms"));
  ASSERT_TRUE(server.ok()) << server.output();
  const std::string url = loopbackURL(server.port());
  const auto name = freshName("hevc");
  const auto played =
      play(url, name, smoke() + " --url " + url + " --key " + name + " --codec hevc --seconds 5 --size 1280x720",
           std::chrono::milliseconds(700));
  ASSERT_TRUE(played.publisher.succeeded()) << played.publisher.output;
  ASSERT_TRUE(played.format) << played.describe();
  EXPECT_EQ(played.format->mediaSubType(), platform::fourCC("hvc1"));
  EXPECT_EQ(played.format->dimensions().width, 1280);
  EXPECT_EQ(played.format->dimensions().height, 720);
  EXPECT_GE(played.pictures, 145u);
  EXPECT_LE(played.pictures, 150u);
  EXPECT_EQ(played.outOfOrder, 0);
}

// nginx never answers "releaseStream" nor "FCPublish": a named stream's
// "createStream" waits one request time-out for them (10 s on the
// application's connections), and the connect with it.
TEST_F(StreamPeersTest, ANamedStreamCostsOneRequestTimeOutAgainstNginx) {
  PeerProcess nginx("nginx-rtmp.sh", peerDirectory("stream-nginx-named"));
  ASSERT_TRUE(nginx.ok()) << nginx.output();
  const std::string url = loopbackURL(nginx.port());
  const auto connectTime = [&](std::optional<std::string> name) {
    RTMPConnection::Settings settings;
    settings.requestTimeout = std::chrono::seconds(1);
    auto connection = std::make_shared<RTMPConnection>(settings, rt);
    auto stream = RTMPStream::make(connection, std::move(name));
    const auto begin = std::chrono::steady_clock::now();
    wait(connection->connect(url));
    const auto elapsed = std::chrono::steady_clock::now() - begin;
    EXPECT_NE(wait(stream->id()), 0u);
    try {
      wait(connection->close());
    } catch (...) {
    }
    return std::chrono::duration<double>(elapsed).count();
  };
  const double plain = connectTime(std::nullopt);
  const double named = connectTime("named");
  std::cout << "connect with a stream: " << plain * 1000 << " ms; with a named stream: " << named * 1000
            << " ms (request time-out 1000 ms)\n";
  EXPECT_LT(plain, 0.5);
  EXPECT_GE(named, 1.0);
  EXPECT_LT(named, 1.5);
}
