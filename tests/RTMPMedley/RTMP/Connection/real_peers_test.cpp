// The connection and the probe against real servers on loopback: nginx with its
// RTMP module, stunnel in front of it for RTMPS, and node-media-server.
#include <gtest/gtest.h>

#include <iostream>
#include <thread>

#include "Platform/Files/ScopedEnv.h"
#include "Platform/Net/TestCertificates.h"
#include "RTMPMedley/RTMP/PeerTestSupport.h"
#include "TestPaths.h"
#include "peers/PeerProcess.h"

using namespace rtmptest;
using namespace rtmpmedley;

namespace {

class RealPeersTest : public RealTimeTest<> {
 protected:
  static void SetUpTestSuite() {
    const auto& certs = platform::testing::TestCertificates::shared();
    nginx_ = new PeerProcess("nginx-rtmp.sh", peerDirectory("nginx"));
    if (nginx_->ok() && certs.ok)
      stunnel_ = new PeerProcess("stunnel.sh", peerDirectory("stunnel"),
                                 {std::to_string(nginx_->port()), certs.nameOnlyCert.string(),
                                  certs.nameOnlyKey.string()});
    nodeMediaServer_ = new PeerProcess("node-media-server.sh", peerDirectory("node-media-server"));
  }
  static void TearDownTestSuite() {
    // Each takes a moment to stop: all at once.
    std::vector<std::thread> stops;
    for (PeerProcess* peer : {stunnel_, nginx_, nodeMediaServer_}) stops.emplace_back([peer] { delete peer; });
    for (auto& t : stops) t.join();
    stunnel_ = nginx_ = nodeMediaServer_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(nginx_->ok()) << nginx_->output();
    ASSERT_TRUE(stunnel_ && stunnel_->ok()) << (stunnel_ ? stunnel_->output() : "no test certificates");
    ASSERT_TRUE(nodeMediaServer_->ok()) << nodeMediaServer_->output();
    env_.set("SSL_CERT_FILE", platform::testing::TestCertificates::shared().caFile.string());
  }

  static std::string nginxURL() { return loopbackURL(nginx_->port()); }
  static std::string rtmpsURL(const std::string& host = "localhost") {
    return "rtmps://" + host + ":" + std::to_string(stunnel_->port()) + "/live";
  }
  static std::string nodeMediaServerURL() {
    return loopbackURL(nodeMediaServer_->port());
  }

  // Connects, asks for a stream id, closes; the statuses seen on the way.
  std::vector<std::string> roundTrip(const std::string& url) {
    auto connection = makeConnection(rt);
    Collected<RTMPStatus> statuses(rt->globalQueue(), wait(connection->status()));
    const auto response = wait(connection->connect(url));
    EXPECT_EQ(response.status->code, "NetConnection.Connect.Success") << url;
    const auto created = wait(connection->call("createStream"));
    EXPECT_TRUE(!created.arguments.empty() && created.arguments[0].number()) << url;
    wait(connection->close());
    EXPECT_TRUE(eventually([&] { return statuses.values().size() >= 2; }));
    return codes(statuses.values());
  }

  static PeerProcess* nginx_;
  static PeerProcess* stunnel_;
  static PeerProcess* nodeMediaServer_;
  platform::testing::ScopedEnv env_;
};

PeerProcess* RealPeersTest::nginx_ = nullptr;
PeerProcess* RealPeersTest::stunnel_ = nullptr;
PeerProcess* RealPeersTest::nodeMediaServer_ = nullptr;

}  // namespace

TEST_F(RealPeersTest, ConnectsCreatesAStreamAndClosesWithEachServer) {
  const std::vector<std::string> expected{"NetConnection.Connect.Success", "NetConnection.Connect.Closed"};
  EXPECT_EQ(roundTrip(nginxURL()), expected);
  EXPECT_EQ(roundTrip(rtmpsURL()), expected);
  EXPECT_EQ(roundTrip(nodeMediaServerURL()), expected);
}

TEST_F(RealPeersTest, ProbeStaysConnectedWhileNginxPingsOverRtmpAndRtmps) {
  const std::string probe = qztest::binaryDir() + "/tools/rtmpprobe";
  ASSERT_TRUE(std::filesystem::exists(probe)) << "build the rtmpprobe target first";
  const std::string ca = platform::testing::TestCertificates::shared().caFile.string();
  const CommandRun good = run(probe + " --stay 6 --ca " + ca + " " + nginxURL() + " " + rtmpsURL());
  EXPECT_TRUE(good.succeeded()) << good.output;
  for (const char* line : {"connect: NetConnection.Connect.Success", "close: NetConnection.Connect.Closed",
                           "createStream: stream id "}) {
    size_t count = 0;
    for (size_t at = 0; (at = good.output.find(line, at)) != std::string::npos; ++at) ++count;
    EXPECT_EQ(count, 2u) << line << "\n" << good.output;
  }
  EXPECT_EQ(good.output.find("pings answered: 0"), std::string::npos) << good.output;

  // The wrong name fails cleanly: an error line and exit status 1, no crash.
  const CommandRun wrong = run(probe + " --stay 1 --ca " + ca + " " + rtmpsURL("127.0.0.1"));
  EXPECT_TRUE(WIFEXITED(wrong.status) && WEXITSTATUS(wrong.status) == 1) << wrong.output;
  EXPECT_NE(wrong.output.find("connect failed: RTMPConnection.Error.socketErrorOccurred"), std::string::npos)
      << wrong.output;
}

// The server dies while the probe holds a connection: the closing status
// follows within a second.
TEST_F(RealPeersTest, AKilledNginxIsReportedClosedWithinASecond) {
  const std::string probe = qztest::binaryDir() + "/tools/rtmpprobe";
  ASSERT_TRUE(std::filesystem::exists(probe)) << "build the rtmpprobe target first";
  PeerProcess doomed("nginx-rtmp.sh", peerDirectory("nginx-killed-probe"));
  ASSERT_TRUE(doomed.ok()) << doomed.output();
  struct Lines {
    std::mutex mutex;
    std::string text;
    std::optional<std::chrono::steady_clock::time_point> lost;
  } lines;
  std::thread reader([&] {
    FILE* pipe = ::popen((probe + " --stay 20 " + loopbackURL(doomed.port())).c_str(), "r");
    char line[1024];
    while (pipe && std::fgets(line, sizeof line, pipe)) {
      std::lock_guard lock(lines.mutex);
      lines.text += line;
      if (std::string(line).find("connection lost") != std::string::npos) lines.lost = std::chrono::steady_clock::now();
    }
    if (pipe) ::pclose(pipe);
  });
  auto seen = [&](const char* text) {
    std::lock_guard lock(lines.mutex);
    return lines.text.find(text) != std::string::npos;
  };
  ASSERT_TRUE(eventually([&] { return seen("createStream: stream id"); }));
  const auto killed = killNginx(doomed);
  reader.join();
  std::lock_guard lock(lines.mutex);
  ASSERT_TRUE(lines.lost) << lines.text;
  EXPECT_LT(*lines.lost - killed, std::chrono::seconds(1)) << lines.text;
  EXPECT_NE(lines.text.find("NetConnection.Connect.Closed"), std::string::npos) << lines.text;
  std::cout << lines.text;
}
