// The publish tool against an ingest of our own that wants a login: with the
// right password it logs in once and stays live, the pictures and sound
// arriving throughout (a wrong one: the Studio's runs). Its standard output
// is JSON only. Real sockets on loopback, a few seconds each.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "CommandOutput.h"
#include "Eventually.h"
#include "TestPaths.h"
#include "peers/LoginRTMPPeer.h"

namespace quarzadel {
namespace {

using nlohmann::json;
using rtmptest::LoginRTMPPeer;
using Outcome = LoginRTMPPeer::Outcome;

struct ToolRun {
  int exitCode = -1;
  std::vector<json> lines;
  std::vector<std::string> notJSON;
};

// Standard output only; the tool's own bound plus a margin ends a hang.
ToolRun publishFor(const std::string& url, int seconds) {
  const auto out = qztest::runCommand("{ timeout 30 " + qztest::binaryDir() + "/tools/publishdemo --url '" + url +
                                      "' --key login --resolution 720p --seconds " + std::to_string(seconds) +
                                      " 2>/dev/null; }");
  ToolRun run;
  run.exitCode = out.exitCode();
  std::istringstream text(out.text);
  for (std::string line; std::getline(text, line);) {
    auto value = json::parse(line, nullptr, false);
    if (value.is_discarded() || !value.is_object())
      run.notJSON.push_back(line);
    else
      run.lines.push_back(std::move(value));
  }
  return run;
}

std::vector<std::string> states(const ToolRun& run) {
  std::vector<std::string> out;
  for (const auto& l : run.lines)
    if (l["event"] == "state") out.push_back(l["state"]);
  return out;
}

std::vector<std::string> warnings(const ToolRun& run) {
  std::vector<std::string> out;
  for (const auto& l : run.lines)
    if (l["event"] == "log" && l["level"] == "WARN") out.push_back(l["message"]);
  return out;
}

// When the tool reported the state (wall-clock seconds).
double at(const ToolRun& run, const std::string& state) {
  for (const auto& l : run.lines)
    if (l["event"] == "state" && l["state"] == state) return l["t"].get<double>();
  return -1;
}

TEST(PublisherLogin, TheRightPasswordLogsInOnceAndStaysLiveWithPicturesAndSoundThroughout) {
  LoginRTMPPeer peer("u", "p@ss");
  const auto run = publishFor(peer.url("u:p%40ss@"), 4);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(run.notJSON.empty()) << run.notJSON.front();
  EXPECT_EQ(states(run), (std::vector<std::string>{"connecting", "live", "stopping", "idle"}));
  // The one live period ends with the stop, never with a status of the login.
  const auto warned = warnings(run);
  ASSERT_EQ(warned.size(), 1u) << warned.front();
  EXPECT_TRUE(warned[0].starts_with("Publish interrupted: ")) << warned[0];
  EXPECT_EQ(warned[0].find("NetConnection"), std::string::npos) << warned[0];

  ASSERT_TRUE(qztest::eventually([&] { return peer.count(Outcome::gone) == 0; }));
  const auto visits = peer.visits();
  ASSERT_EQ(visits.size(), 3u);
  EXPECT_EQ(visits[0].outcome, Outcome::askedForUser);
  EXPECT_EQ(visits[1].outcome, Outcome::challenged);
  EXPECT_EQ(visits[2].outcome, Outcome::accepted);
  // The client closes each login step's connection at once.
  for (int i = 0; i < 2; ++i) {
    EXPECT_GE(visits[i].closedAt, 0) << i;
    EXPECT_LT(visits[i].closedAt - visits[i].at, 1.0) << i;
  }
  const auto& live = visits[2];
  EXPECT_EQ(std::count(live.commands.begin(), live.commands.end(), "publish"), 1);
  // Pictures and sound for the whole live period, up to the first key frame's wait.
  const double window = at(run, "stopping") - at(run, "live");
  const double pictures = LoginRTMPPeer::Visit::span(live.videoArrivals);
  EXPECT_GE(pictures, window - 1.0) << "live for " << window << " s";
  EXPECT_GE(LoginRTMPPeer::Visit::span(live.audioArrivals), window - 1.0) << "live for " << window << " s";
  EXPECT_GE(live.videoArrivals.size() / pictures, 25.0) << live.videoArrivals.size() << " in " << pictures << " s";
}

TEST(PublisherLogin, TheToolsWarningsGoToStandardErrorAndItsOutputStaysJSON) {
  // Nothing listens there: the socket warns on every attempt.
  auto listener = platform::TcpListener::make();
  const std::string url = "rtmp://127.0.0.1:" + std::to_string(listener->port()) + "/live";
  listener->close();
  const auto stdoutOnly = publishFor(url, 2);
  EXPECT_TRUE(stdoutOnly.notJSON.empty()) << stdoutOnly.notJSON.front();
  EXPECT_GE(warnings(stdoutOnly).size(), 2u);
  const auto errors = qztest::runCommand("{ timeout 30 " + qztest::binaryDir() + "/tools/publishdemo --url " + url +
                                         " --seconds 1 2>&1 >/dev/null; }");
  EXPECT_NE(errors.text.find("Connection failed"), std::string::npos) << errors.text;
}

}  // namespace
}  // namespace quarzadel
