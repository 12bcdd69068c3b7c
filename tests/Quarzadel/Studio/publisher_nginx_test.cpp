// The publish tool against a real nginx on loopback: live within 3 s, a
// statistics line every second, and nginx killed at 15 s and restarted at
// 20 s: the publisher reconnects with the closing status as its reason and is
// live again, with the same live date, well before 26 s.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <vector>

#include "CommandOutput.h"
#include "PublishToolRun.h"
#include "TestPaths.h"
#include "peers/PeerProcess.h"

namespace quarzadel {
namespace {

using nlohmann::json;
using Line = studiotest::ToolLine;
using studiotest::first;
using studiotest::only;

pid_t nginxPid(const std::filesystem::path& dir) {
  std::ifstream file(dir / "logs" / "nginx.pid");
  pid_t pid = 0;
  file >> pid;
  return pid;
}

// The publish tool's command line, at 720p.
std::string tool(const std::string& url, const std::string& key, int seconds) {
  return qztest::binaryDir() + "/tools/publishdemo --url " + url + " --key " + key + " --seconds " +
         std::to_string(seconds) + " --resolution 720p 2>/dev/null";
}
const auto nothing = [](int) {};

TEST(PublisherNginx, ReconnectsAfterNginxIsKilledAndRestarted) {
  rtmptest::PeerProcess nginx("nginx-rtmp.sh", rtmptest::peerDirectory("publisher-nginx"));
  ASSERT_TRUE(nginx.ok()) << nginx.output();
  const std::string url = "rtmp://127.0.0.1:" + std::to_string(nginx.port()) + "/live";
  pid_t killed = 0;
  std::string probe;
  const std::vector<Line> lines = studiotest::runPublishTool(tool(url, "revived", 34), 34, [&](int second) {
    if (second == 15 && (killed = nginxPid(nginx.dir())) > 0) ::kill(killed, SIGKILL);
    const std::string d = nginx.dir().string();
    if (second == 20)
      EXPECT_EQ(std::system(("nginx -e " + d + "/logs/error.log -p " + d + "/ -c " + d + "/nginx.conf >/dev/null 2>&1 &").c_str()), 0);
    // While live again, ffprobe reads the stream.
    if (second == 27)
      probe = qztest::runCommand("timeout 10 ffprobe -v error -analyzeduration 2000000 -show_entries stream=codec_name "
                                 "-of csv=p=0 " + url + "/revived").text;
  });
  ASSERT_GT(killed, 0);
  if (pid_t second = nginxPid(nginx.dir()); second > 0 && second != killed) ::kill(second, SIGTERM);

  const auto states = only(lines, "state"), stats = only(lines, "stats");
  ASSERT_GE(states.size(), 4u) << lines.size();
  EXPECT_EQ(states[0].value["state"], "connecting");
  EXPECT_EQ(states[1].value["state"], "live");
  EXPECT_LT(states[1].at, 3.0);
  // Statistics about once a second while live, at the program's frame rate.
  std::vector<int> fps;
  for (const auto& s : stats)
    if (s.at > 3 && s.at < 14.5) {
      fps.push_back(s.value["fps"].get<int>());
      EXPECT_GT(s.value["uploadKbps"].get<int>(), 0) << s.value.dump();
    }
  const size_t steady = fps.size();
  ASSERT_FALSE(fps.empty());
  std::sort(fps.begin(), fps.end());
  EXPECT_GE(fps[fps.size() / 2], 29);
  EXPECT_LE(fps[fps.size() / 2], 31);
  EXPECT_GE(steady, 9u);
  EXPECT_EQ(states[2].value["state"], "reconnecting");
  EXPECT_EQ(states[2].value["reason"], "Connection closed (NetConnection.Connect.Closed)");
  EXPECT_EQ(first(lines, [](const json& v) { return v.value("message", "").find("Upload stalled") != std::string::npos; }),
            nullptr);
  const Line* again = first(states, [](const json& v) { return v["state"] == "live"; }, states[2].at);
  ASSERT_NE(again, nullptr);
  EXPECT_LT(again->at, 26.0);
  EXPECT_EQ(again->value["since"], states[1].value["since"]);
  EXPECT_NE(probe.find("h264"), std::string::npos) << probe;
  EXPECT_NE(probe.find("aac"), std::string::npos) << probe;
}

bool hasLine(const std::vector<Line>& lines, const std::string& event, const std::string& key,
             const std::string& text) {
  for (const auto& l : lines)
    if (l.value["event"] == event && l.value.contains(key) && l.value[key].is_string() &&
        l.value[key].get<std::string>().find(text) != std::string::npos)
      return true;
  return false;
}

TEST(PublisherNginx, ARefusedPublishIsRetriedWithTheServersReason) {
  rtmptest::PeerProcess nginx("nginx-rtmp.sh", rtmptest::peerDirectory("publisher-nginx-taken"));
  ASSERT_TRUE(nginx.ok()) << nginx.output();
  const std::string url = "rtmp://127.0.0.1:" + std::to_string(nginx.port()) + "/live";
  std::vector<Line> lines;
  const auto firstLines = studiotest::runPublishTool(tool(url, "taken", 12), 12, [&](int second) {
    if (second == 3) lines = studiotest::runPublishTool(tool(url, "taken", 6), 6, nothing);
  });
  EXPECT_TRUE(hasLine(lines, "log", "message", "Publish attempt 1 failed after ")) << lines.size();
  EXPECT_TRUE(hasLine(lines, "state", "reason", "Already publishing"));
  EXPECT_TRUE(hasLine(lines, "problem", "text",
                      "Quarzadel can't reach the stream server (Already publishing). Check that the event"));
  EXPECT_FALSE(hasLine(lines, "state", "state", "live"));
  EXPECT_TRUE(hasLine(firstLines, "state", "state", "live"));
}

TEST(PublisherNginx, AServerThatStopsReadingGivesUploadStalledAndANewAttempt) {
  rtmptest::PeerProcess nginx("nginx-rtmp.sh", rtmptest::peerDirectory("publisher-nginx-frozen"));
  ASSERT_TRUE(nginx.ok()) << nginx.output();
  const std::string url = "rtmp://127.0.0.1:" + std::to_string(nginx.port()) + "/live";
  pid_t pid = 0;
  const auto lines = studiotest::runPublishTool(tool(url, "frozen", 70), 70, [&](int second) {
    if (second == 4 && (pid = nginxPid(nginx.dir())) > 0) ::kill(pid, SIGSTOP);
  });
  ASSERT_GT(pid, 0);
  ::kill(pid, SIGCONT);
  const Line* stalled =
      first(lines, [](const json& v) { return v.value("message", "") == "Publish interrupted: Upload stalled"; });
  ASSERT_NE(stalled, nullptr) << "no stall";
  // The send buffers fill first; then five silent seconds.
  EXPECT_GT(stalled->at, 9.0);
  EXPECT_NE(first(lines, [](const json& v) {
              return v["event"] == "state" && v["state"] == "reconnecting" && v["reason"] == "Upload stalled";
            }, stalled->at),
            nullptr);
}

TEST(PublisherBlackHole, StopDuringAConnectThatIsNeverAnsweredIsIdleWithinThreeSeconds) {
  // The kernel accepts connections on a listening socket nobody serves.
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(fd, 16), 0);
  socklen_t size = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  const std::string url = "rtmp://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/live";
  const auto lines = studiotest::runPublishTool(tool(url, "void", 4), 4, nothing);
  ::close(fd);
  const Line* stopping = first(lines, [](const json& v) { return v["event"] == "state" && v["state"] == "stopping"; });
  const Line* idle = first(lines, [](const json& v) { return v["event"] == "state" && v["state"] == "idle"; });
  ASSERT_TRUE(stopping && idle);
  EXPECT_LE(idle->at - stopping->at, 3.3);
  int stoppedLines = 0;
  for (const auto& l : lines) stoppedLines += l.value.value("message", "") == "Publish stopped by user";
  EXPECT_EQ(stoppedLines, 1);
  EXPECT_FALSE(hasLine(lines, "log", "message", "Publish attempt"));
  EXPECT_FALSE(hasLine(lines, "state", "state", "live"));
}

}  // namespace
}  // namespace quarzadel
