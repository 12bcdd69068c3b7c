// The publish tool against nginx across two network namespaces joined by a veth
// pair: the publisher's side slowed with tc, the server stopped for a while,
// killed and restarted, the link taken down and up, a subnet without a default
// route. What counts is measured at the server where it can be: the
// recording's video bytes per second of stream, its log; the tool reports its
// resident memory once a second throughout. Needs root (skipped otherwise);
// each case runs in real time, well under a minute.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CommandOutput.h"
#include "SanitizedBuild.h"
#include "TestPaths.h"
#include "Quarzadel/Studio/PublishToolRun.h"
#include "Quarzadel/Studio/RTMPPublisher.h"
#include "peers/NamespaceNginx.h"
#include "peers/PeerProcess.h"

namespace quarzadel {
namespace {

using nlohmann::json;

// Under a sanitizer freed memory waits in quarantine, so the tool's resident
// memory says nothing about what it keeps; the figures are printed only.
constexpr bool kResidentMemoryCounts = !qztest::kSanitizedBuild;

using rtmptest::sh;

class NamespaceLink {
 public:
  // `smallBuffers`: both sides keep small socket buffers, so a backlog shows in
  // the publisher's own queue within moments and a server that stops reading
  // stops the sender soon.
  // `defaultRoute` off: the publisher's side knows only its subnet's route.
  // `pingSeconds`: how soon the server pings a silent client and drops it
  // unanswered; an ingest's usual minute leaves freeing a stale publish to
  // the client.
  NamespaceLink(const std::string& name, int subnet, bool smallBuffers, bool defaultRoute = true, int pingSeconds = 2)
      : dir_(rtmptest::peerDirectory(name)), defaultRoute_(defaultRoute), pingSeconds_(pingSeconds) {
    const std::string id = std::to_string(::getpid() % 100000) + "x" + std::to_string(subnet);
    pub_ = "qzp" + id, ing_ = "qzi" + id, a_ = "qa" + id;
    const std::string b = "qb" + id, net = "10." + std::to_string(subnet) + "." + std::to_string(::getpid() % 250) + ".";
    there_ = net + "2";
    std::vector<std::string> setup{"ip netns add " + pub_, "ip netns add " + ing_,
                                   "ip link add " + a_ + " type veth peer name " + b,
                                   "ip link set " + a_ + " netns " + pub_, "ip link set " + b + " netns " + ing_,
                                   "ip -n " + pub_ + " addr add " + net + "1/24 dev " + a_,
                                   "ip -n " + ing_ + " addr add " + there_ + "/24 dev " + b,
                                   "ip -n " + pub_ + " link set lo up", "ip -n " + ing_ + " link set lo up",
                                   "ip -n " + ing_ + " link set " + b + " up"};
    if (smallBuffers) {
      setup.push_back(inPublisher("sysctl -w net.ipv4.tcp_wmem='4096 16384 65536'"));
      setup.push_back(inIngest("sysctl -w net.ipv4.tcp_rmem='4096 16384 65536'"));
    }
    ok_ = std::all_of(setup.begin(), setup.end(), [](const std::string& c) { return sh(c) == 0; }) && up() &&
          startNginx();
  }
  ~NamespaceLink() {
    rtmptest::stopNamespaceNginx(dir_);
    sh("ip netns del " + pub_);
    sh("ip netns del " + ing_);
    rtmptest::removePeerFiles(dir_);
  }
  bool ok() const { return ok_; }
  bool up() {
    return sh("ip -n " + pub_ + " link set " + a_ + " up") == 0 &&
           (!defaultRoute_ || sh("ip -n " + pub_ + " route replace default via " + there_) == 0);
  }
  bool down() { return sh("ip -n " + pub_ + " link set " + a_ + " down") == 0; }
  // The server is killed, or started again on the same address.
  bool killServer() { return rtmptest::signalNamespaceNginx(dir_, SIGKILL); }
  bool restartServer() { return startNginx(); }
  // What the server logged, e.g. the publishes it refused.
  std::string serverLog() const {
    std::ifstream file(dir_ / "logs" / "error.log");
    return std::string(std::istreambuf_iterator<char>(file), {});
  }
  // Caps what the publisher sends.
  bool limit(const std::string& rate) {
    return sh(inPublisher("tc qdisc replace dev " + a_ + " root tbf rate " + rate + " burst 16kb latency 400ms")) == 0;
  }
  // The server stops reading, or reads again.
  bool freezeServer(bool frozen) { return rtmptest::signalNamespaceNginx(dir_, frozen ? SIGSTOP : SIGCONT); }
  std::filesystem::path recording(const std::string& key) const { return dir_ / "record" / (key + ".flv"); }
  // Runs the publish tool here for `seconds`, calling `at(second)` once a second; returns its lines.
  std::vector<Line> publish(const std::string& key, int seconds, const std::function<void(int)>& at,
                            const std::string& options = "") {
    return runPublishTool(
        inPublisher(qztest::binaryDir() + "/tools/publishdemo --url rtmp://" + there_ + ":1935/live --key " + key +
                    " --seconds " + std::to_string(seconds) + " --resolution 720p " + options + " 2>/dev/null"),
        seconds, at);
  }

 private:
  std::string inPublisher(const std::string& command) const { return "ip netns exec " + pub_ + " " + command; }
  std::string inIngest(const std::string& command) const { return "ip netns exec " + ing_ + " " + command; }
  bool startNginx() {
    std::filesystem::create_directories(dir_ / "record");
    const std::string ping = std::to_string(pingSeconds_) + "s;";
    return rtmptest::startNamespaceNginx(dir_, ing_, pub_, there_, " ping " + ping + " ping_timeout " + ping,
                                         " record all; record_path " + (dir_ / "record").string() +
                                             "; record_unique off;");
  }

  std::filesystem::path dir_;
  bool defaultRoute_ = true;
  int pingSeconds_ = 2;
  bool ok_ = false;
  std::string pub_, ing_, a_, there_;
};

// Video kilobits the server received per whole second of stream time, read
// from its recording by ffprobe.
std::map<int, double> receivedVideoKbps(const std::filesystem::path& recording) {
  std::map<int, double> kbps;
  std::istringstream rows(qztest::runCommand("ffprobe -v error -select_streams v -show_entries packet=pts_time,size "
                                             "-of csv=p=0 '" + recording.string() + "' 2>/dev/null").text);
  double time = 0, size = 0;
  for (std::string row; std::getline(rows, row);)
    if (std::sscanf(row.c_str(), "%lf,%lf", &time, &size) == 2 && time >= 0) kbps[static_cast<int>(time)] += size * 8 / 1000;
  return kbps;
}

// Resident memory (KiB) sampled by the tool within [from, to) seconds.
std::vector<int64_t> residentKB(const std::vector<Line>& lines, double from, double to) {
  std::vector<int64_t> out;
  for (const auto& l : only(lines, "memory"))
    if (l.at >= from && l.at < to) out.push_back(l.value["rssKB"].get<int64_t>());
  return out;
}

TEST(PublisherCongestion, ASlowServerBringsTheEncodersRealOutputDownToTheTarget) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
  NamespaceLink link("publisher-congestion", 232, true);
  if (!link.ok()) GTEST_SKIP() << "network namespaces, tc or nginx are not available";
  bool limited = false;
  const auto lines = link.publish("slow", 44, [&](int second) {
    if (second == 4) limited = link.limit("800kbit");
  }, "--camera synthetic-noise --memory 1");
  ASSERT_TRUE(limited) << "tc is not available";
  const std::string log = trace(lines);
  const Line* live = first(lines, inState("live"));
  ASSERT_NE(live, nullptr) << log;
  EXPECT_NE(first(lines, [](const json& v) {
    return startsWith(v, "message", "Uplink congested: ") || startsWith(v, "message", "Upload falling behind: ");
  }), nullptr) << log;
  // One live period until the tool stops: a slow server is no stall.
  EXPECT_EQ(first(lines, [](const json& v) {
    return startsWith(v, "message", "Publish interrupted: ") && v["message"] != "Publish interrupted: Stopped";
  }), nullptr) << log;

  // The controller's target over time, as runs of equal values after the first decrease.
  struct Run {
    int64_t kbps;
    double from, to;
  };
  std::vector<Run> runs;
  for (const auto& s : only(lines, "stats")) {
    const int64_t target = s.value["targetKbps"].get<int64_t>();
    if (target <= 0) continue;
    if (!runs.empty()) runs.back().to = s.at;
    if (runs.empty() || runs.back().kbps != target) runs.push_back({target, s.at, s.at});
  }
  while (!runs.empty() && runs.front().kbps == 1843) runs.erase(runs.begin());
  ASSERT_FALSE(runs.empty()) << log;
  const Run settled = *std::max_element(runs.begin(), runs.end(), [](const Run& x, const Run& y) {
    return x.to - x.from < y.to - y.from;
  });
  EXPECT_LT(settled.kbps, 1000) << log;

  // What the server received in the settled run's seconds of stream, after the
  // encoder had a second and a half to take the new rate. Stream time starts
  // with the first picture, about when the program's camera came on air.
  const Line* onAir = first(lines, [](const json& v) { return startsWith(v, "message", "picture on air: "); });
  ASSERT_NE(onAir, nullptr);
  const auto received = receivedVideoKbps(link.recording("slow"));
  ASSERT_GT(received.size(), 20u) << "no recording";
  const int lastWhole = received.rbegin()->first - 1;
  double sum = 0, before = 0;
  int seconds = 0, early = 0;
  for (const auto& [second, kbps] : received) {
    const double wall = onAir->at + second;
    if (second >= 1 && wall < 4) before += kbps, ++early;
    if (wall >= settled.from + 1.5 && wall + 1 <= settled.to && second <= lastWhole) sum += kbps, ++seconds;
  }
  std::string figures;
  for (const auto& [second, kbps] : received) figures += std::to_string(second) + ":" + std::to_string(int(kbps)) + " ";
  ASSERT_GE(seconds, 4) << "settled at " << settled.kbps << " kbps from " << settled.from << " to " << settled.to
                        << " s\n" << figures << "\n" << log;
  const double measured = sum / seconds;
  std::printf("target %lld kbps, received video %.0f kbps over %d s\n", static_cast<long long>(settled.kbps), measured,
              seconds);
  EXPECT_NEAR(measured, static_cast<double>(settled.kbps), 0.25 * static_cast<double>(settled.kbps)) << figures;
  ASSERT_GT(early, 0);
  EXPECT_LT(measured, 0.6 * before / early) << figures;

  // Memory: the backlog drains into the slow link, and the encoder restarts of
  // every rate change leave nothing resident behind them. A sample may catch a
  // restart with both encoders alive; the level at the end may not have crept up.
  const auto all = residentKB(lines, 0, 1e9);
  ASSERT_GT(all.size(), 30u);
  const auto start = residentKB(lines, live->at + 2, live->at + 4);
  auto late = residentKB(lines, lines.back().at - 12, lines.back().at - 2);
  ASSERT_FALSE(start.empty());
  ASSERT_GE(late.size(), 5u);
  std::nth_element(late.begin(), late.begin() + late.size() / 2, late.end());
  const int64_t settledKB = late[late.size() / 2];
  const int64_t peak = *std::max_element(all.begin(), all.end());
  std::printf("resident memory %lld MB at start, %lld MB at the end, %lld MB at most\n", (long long)start.front() / 1024,
              (long long)settledKB / 1024, (long long)peak / 1024);
  if (kResidentMemoryCounts) {
    EXPECT_LT(settledKB - start.front(), 24 * 1024) << log;
    EXPECT_LT(peak - start.front(), 64 * 1024) << log;
  }
}

TEST(PublisherCongestion, AServerThatStopsReadingForThirtySecondsLeavesMemoryFlat) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
  NamespaceLink link("publisher-stall", 232, true);
  if (!link.ok()) GTEST_SKIP() << "network namespaces, tc or nginx are not available";
  constexpr int kFrozenAt = 5, kThawedAt = 35;
  bool frozen = false, thawed = false;
  const auto lines = link.publish("stall", 50, [&](int second) {
    if (second == kFrozenAt) frozen = link.freezeServer(true);
    if (second == kThawedAt) thawed = link.freezeServer(false);
  }, "--camera synthetic-noise --memory 1");
  ASSERT_TRUE(frozen && thawed);
  const std::string log = trace(lines);

  // The stall is noticed within seconds, and a new attempt follows. Four seconds
  // after output last moved, which this run's clock places only to a tenth or so.
  const Line* stalled = first(lines, says("Publish interrupted: Upload stalled"));
  ASSERT_NE(stalled, nullptr) << log;
  EXPECT_GT(stalled->at, kFrozenAt + 3.5);
  EXPECT_LT(stalled->at, kFrozenAt + 15.0) << log;
  EXPECT_NE(first(lines, inState("reconnecting", "Upload stalled"), stalled->at), nullptr) << log;

  // The outgoing queue stops growing when the kernel stops taking bytes: at
  // most the few seconds of media before the stall is called.
  int64_t mostQueuedKB = 0;
  for (const auto& s : only(lines, "stats")) mostQueuedKB = std::max(mostQueuedKB, s.value["queuedKB"].get<int64_t>());
  EXPECT_LT(mostQueuedKB, 4 * 1024) << log;
  std::printf("upload stalled %.1f s after the freeze, %lld KB queued at most\n", stalled->at - kFrozenAt,
              (long long)mostQueuedKB);

  // Resident memory while the server is frozen: no more than the queue on top
  // of what it was, and flat from the middle of the freeze to its end.
  const auto before = residentKB(lines, kFrozenAt - 2, kFrozenAt);
  const auto during = residentKB(lines, kFrozenAt, kThawedAt);
  const auto firstHalf = residentKB(lines, kFrozenAt, kFrozenAt + 15);
  const auto secondHalf = residentKB(lines, kFrozenAt + 15, kThawedAt);
  ASSERT_FALSE(before.empty());
  ASSERT_GE(during.size(), 25u) << log;
  const int64_t base = *std::max_element(before.begin(), before.end());
  const int64_t peak = *std::max_element(during.begin(), during.end());
  const int64_t firstPeak = *std::max_element(firstHalf.begin(), firstHalf.end());
  const int64_t secondPeak = *std::max_element(secondHalf.begin(), secondHalf.end());
  std::printf("resident memory %lld MB before the freeze, %lld MB at most during it (%lld MB in its second half)\n",
              (long long)base / 1024, (long long)peak / 1024, (long long)secondPeak / 1024);
  if (kResidentMemoryCounts) {
    EXPECT_LT(peak - base, 24 * 1024) << log;
    EXPECT_LE(secondPeak, firstPeak + 2 * 1024) << log;
  }

  // Reading again, the server gets the program back.
  EXPECT_NE(first(lines, inState("live"), kThawedAt), nullptr) << log;
}

// Whether the server refused a publish because the key was still taken, as
// the tool's lines or the server's log tell.
bool refusedAsTaken(const std::vector<Line>& lines, const std::string& serverLog) {
  for (const auto& l : lines)
    if (l.value.dump().find("lready publishing") != std::string::npos) return true;
  return serverLog.find("already publishing") != std::string::npos;
}

// The server stops reading until well after the stall is called. The given-up
// attempt is reset, so the server lets go of the key as soon as it runs again
// (its own pings would take a minute), and the attempt waiting in the
// handshake by then goes live at once.
TEST(PublisherRecovery, AServerThatReadsAgainHasTheProgramBackWithinASecond) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
  NamespaceLink link("publisher-thaw", 233, true, true, /*pingSeconds=*/60);
  if (!link.ok()) GTEST_SKIP() << "network namespaces or nginx are not available";
  constexpr int kFrozenAt = 4, kThawedAt = 23;
  bool frozen = false, thawed = false;
  const auto lines = link.publish("thaw", 28, [&](int second) {
    if (second == kFrozenAt) frozen = link.freezeServer(true);
    if (second == kThawedAt) thawed = link.freezeServer(false);
  }, "--camera synthetic-noise");
  ASSERT_TRUE(frozen && thawed);
  const std::string log = trace(lines);
  const Line* stalled = first(lines, says("Publish interrupted: Upload stalled"));
  ASSERT_NE(stalled, nullptr) << log;
  ASSERT_LT(stalled->at, kThawedAt) << log;
  const Line* again = first(lines, inState("live"), stalled->at);
  ASSERT_NE(again, nullptr) << log;
  std::printf("live again %.2f s after the server read again\n", again->at - kThawedAt);
  EXPECT_LT(again->at, kThawedAt + 1.5) << log;
  EXPECT_FALSE(refusedAsTaken(lines, link.serverLog())) << log;
}

// The link goes down while live: the tool says it is offline and tries
// nothing until the link is back, then goes live within a second. The server
// never learned that the old connection died; the reset sent when the link
// returns frees the key before the new publish asks for it.
TEST(PublisherRecovery, ALinkTakenDownIsOfflineUntilItComesBackThenLiveAtOnce) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
  NamespaceLink link("publisher-link", 234, false, true, /*pingSeconds=*/60);
  if (!link.ok()) GTEST_SKIP() << "network namespaces or nginx are not available";
  constexpr int kDownAt = 4, kUpAt = 13;
  bool down = false, up = false;
  const auto lines = link.publish("link", 18, [&](int second) {
    if (second == kDownAt) down = link.down();
    if (second == kUpAt) up = link.up();
  });
  ASSERT_TRUE(down && up);
  const std::string log = trace(lines);
  const Line* live = first(lines, inState("live"));
  ASSERT_NE(live, nullptr) << log;
  ASSERT_LT(live->at, kDownAt) << log;
  const Line* offline = first(lines, inState("reconnecting", "No internet connection"), kDownAt);
  ASSERT_NE(offline, nullptr) << log;
  EXPECT_LT(offline->at, kDownAt + 2.5) << log;
  EXPECT_NE(first(lines, [](const json& v) {
    return v["event"] == "problem" && v["text"] == RTMPPublisher::kOfflineProblem;
  }, kDownAt), nullptr) << log;
  // No attempt while the link is down.
  EXPECT_EQ(first(lines, [](const json& v) { return startsWith(v, "message", "Publish attempt "); }), nullptr) << log;
  const Line* again = first(lines, inState("live"), kDownAt);
  ASSERT_NE(again, nullptr) << log;
  std::printf("live again %.2f s after the link came back\n", again->at - kUpAt);
  EXPECT_GE(again->at, kUpAt) << log;
  EXPECT_LT(again->at, kUpAt + 1.5) << log;
  EXPECT_EQ(again->value["since"], live->value["since"]);
  EXPECT_FALSE(refusedAsTaken(lines, link.serverLog())) << log;
}

// A LAN without a default route: the ingest on the subnet is reached.
TEST(PublisherRecovery, ASubnetWithoutADefaultRouteReachesItsIngestAndGoesLive) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
  NamespaceLink link("publisher-subnet", 235, false, /*defaultRoute=*/false);
  if (!link.ok()) GTEST_SKIP() << "network namespaces or nginx are not available";
  const auto lines = link.publish("subnet", 6, [](int) {});
  const std::string log = trace(lines);
  const Line* live = first(lines, inState("live"));
  ASSERT_NE(live, nullptr) << log;
  EXPECT_LT(live->at, 3.0) << log;
  EXPECT_EQ(first(lines, inState("reconnecting", "No internet connection")), nullptr) << log;
  const auto streams = qztest::runCommand("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" +
                                          link.recording("subnet").string() + "'").text;
  EXPECT_NE(streams.find("h264"), std::string::npos) << streams;
}

// The server is killed while live and started again: the publisher reports
// the closed connection, and is live again with the date of its first live
// period; the restarted server records the program.
TEST(PublisherRecovery, AKilledAndRestartedServerHasTheProgramBackWithTheSameLiveDate) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
  NamespaceLink link("publisher-restart", 236, false);
  if (!link.ok()) GTEST_SKIP() << "network namespaces or nginx are not available";
  constexpr int kKilledAt = 4, kRestartedAt = 7;
  bool killed = false, restarted = false;
  const auto lines = link.publish("revived", 16, [&](int second) {
    if (second == kKilledAt) killed = link.killServer();
    if (second == kRestartedAt) restarted = link.restartServer();
  });
  ASSERT_TRUE(killed && restarted);
  const std::string log = trace(lines);
  const Line* live = first(lines, inState("live"));
  ASSERT_NE(live, nullptr) << log;
  const Line* lost = first(lines, inState("reconnecting"), kKilledAt);
  ASSERT_NE(lost, nullptr) << log;
  EXPECT_LT(lost->at, kKilledAt + 1.5) << log;
  EXPECT_TRUE(startsWith(lost->value, "reason", "Connection closed (NetConnection.Connect.")) << log;
  const Line* again = first(lines, inState("live"), kKilledAt);
  ASSERT_NE(again, nullptr) << log;
  EXPECT_LT(again->at, kRestartedAt + 6.0) << log;
  EXPECT_EQ(again->value["since"], live->value["since"]) << log;
  // What the restarted server recorded: picture and sound of the second period.
  const auto probe = qztest::runCommand("ffprobe -v error -show_entries stream=codec_name:format=duration -of csv=p=0 '" +
                                        link.recording("revived").string() + "'").text;
  EXPECT_NE(probe.find("h264"), std::string::npos) << probe;
  EXPECT_NE(probe.find("aac"), std::string::npos) << probe;
}

}  // namespace
}  // namespace quarzadel
