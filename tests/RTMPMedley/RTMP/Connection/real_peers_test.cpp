// The connection, through the probe and the publish tool, against real
// servers on loopback: nginx with its RTMP module and stunnel in front of it
// for RTMPS; an ingest of our own that wants a login.
#include <gtest/gtest.h>

#include <thread>

#include "Platform/Net/TestCertificates.h"
#include "RTMPMedley/RTMP/PeerTestSupport.h"
#include "TestPaths.h"
#include "peers/LoginRTMPPeer.h"
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

  void SetUp() override {
    ASSERT_TRUE(certs.ok) << "no test certificates";
    for (const PeerProcess* peer : {&nginx, &stunnel}) ASSERT_TRUE(peer->ok()) << peer->output();
    for (const char* name : {"rtmpprobe"})
      ASSERT_TRUE(std::filesystem::exists(tool(name))) << "build the " << name << " target first";
  }

  std::string rtmpsURL(const std::string& host = "localhost") const {
    return "rtmps://" + host + ":" + std::to_string(stunnel.port()) + "/live";
  }
};

}  // namespace

// The probe connects, creates a stream and closes, over RTMP and RTMPS, and
// stays connected while nginx pings.
TEST_F(RealPeersTest, TheProbeConnectsOverRtmpAndRtmpsAndStaysConnectedWhileNginxPings) {
  // Bounded, and line by line, so a probe that hangs fails here showing how far it got.
  const std::string probe = "timeout 60 stdbuf -oL -eL " + tool("rtmpprobe") + " --ca " + certs.caFile.string();
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

// The login's refusals stay inside the connect: the tool hears of the success
// only, and publishes on the third connection; the first two are closed at once.
TEST(LoginPeerTest, TheSmokeToolLogsInOverASocketAndPublishes) {
  LoginRTMPPeer peer("smoke", "pa ss");
  const auto published = qztest::runCommand("timeout 30 " + tool("rtmpsmoke") + " --url " + peer.url("smoke:pa%20ss@") +
                                            " --codec h264 --seconds 2 --size 320x240 --fps 30");
  EXPECT_TRUE(published.succeeded()) << published.text;
  EXPECT_NE(published.text.find("connect: NetConnection.Connect.Success"), std::string::npos) << published.text;
  EXPECT_EQ(published.text.find("Rejected"), std::string::npos) << published.text;
  EXPECT_EQ(published.text.find("pa ss"), std::string::npos) << published.text;
  ASSERT_TRUE(eventually([&] { return peer.count(LoginRTMPPeer::Outcome::gone) == 0; }));
  const auto visits = peer.visits();
  ASSERT_EQ(visits.size(), 3u);
  for (int i = 0; i < 2; ++i) EXPECT_LT(visits[i].closedAt - visits[i].at, 1.0) << i;
  EXPECT_EQ(visits[2].outcome, LoginRTMPPeer::Outcome::accepted);
  EXPECT_GE(visits[2].videoArrivals.size(), 50u);
  EXPECT_GE(visits[2].audioArrivals.size(), 50u);
}

// Servers that leave the level out of their refusals, or the opaque value out
// of their challenge: the tool still takes the login step and publishes.
TEST(LoginPeerTest, TheSmokeToolLogsInWhereRefusalsHaveNoLevelOrTheChallengeNoOpaqueValue) {
  for (const LoginRTMPPeer::Manner manner : {LoginRTMPPeer::Manner{false, true}, LoginRTMPPeer::Manner{true, false},
                                             LoginRTMPPeer::Manner{false, false}}) {
    SCOPED_TRACE(std::string(manner.refusalLevel ? "" : "no level ") + (manner.opaque ? "" : "no opaque"));
    LoginRTMPPeer peer("alice", "pw", 10, manner);
    const auto published = qztest::runCommand("timeout 30 " + tool("rtmpsmoke") + " --url " + peer.url("alice:pw@") +
                                              " --codec h264 --seconds 1 --size 320x240 --fps 30");
    EXPECT_TRUE(published.succeeded()) << published.text;
    EXPECT_NE(published.text.find("connect: NetConnection.Connect.Success"), std::string::npos) << published.text;
    ASSERT_TRUE(eventually([&] { return peer.count(LoginRTMPPeer::Outcome::gone) == 0; }));
    const auto visits = peer.visits();
    ASSERT_EQ(visits.size(), 3u);
    EXPECT_EQ(visits[0].outcome, LoginRTMPPeer::Outcome::askedForUser);
    EXPECT_EQ(visits[1].outcome, LoginRTMPPeer::Outcome::challenged);
    EXPECT_EQ(visits[2].outcome, LoginRTMPPeer::Outcome::accepted);
    EXPECT_GE(visits[2].videoArrivals.size(), 20u);
  }
}
