// The publish tool against nginx across two network namespaces joined by a
// link that holds every packet for half the round trip each way (the tool
// linkdelay, with a TUN device in each namespace): a long round trip with
// bandwidth to spare keeps the full rate and brings every picture to the
// ingest, a link slower than the stream brings the rate down, and a server
// stopped by a signal is a stall within six seconds.
// Needs root (skipped otherwise); each case runs in real time, under half a minute.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Quarzadel/Studio/PublishToolRun.h"
#include "Quarzadel/Studio/RTMPPublisher.h"
#include "TestPaths.h"
#include "peers/IngestRecording.h"
#include "peers/NamespaceNginx.h"
#include "peers/PeerProcess.h"

namespace quarzadel {
namespace {

using rtmptest::sh;

class DelayedLink {
 public:
  // `oneWayMs` each way; `kbit` paces the publisher's direction (0: unpaced).
  DelayedLink(const std::string& name, int subnet, int oneWayMs, int kbit = 0)
      : dir_(rtmptest::peerDirectory(name)) {
    const std::string id = std::to_string(::getpid() % 100000) + "x" + std::to_string(subnet);
    pub_ = "qzp" + id, ing_ = "qzi" + id;
    const std::string net = "10." + std::to_string(subnet) + "." + std::to_string(::getpid() % 250) + ".";
    here_ = net + "1", there_ = net + "2";
    if (sh("ip netns add " + pub_) != 0 || sh("ip netns add " + ing_) != 0) return;
    sh("ip -n " + pub_ + " link set lo up");
    sh("ip -n " + ing_ + " link set lo up");
    if (!startForwarder(oneWayMs, kbit)) return;
    const std::vector<std::string> setup{
        "ip -n " + pub_ + " addr add " + here_ + " peer " + there_ + " dev qzd0",
        "ip -n " + ing_ + " addr add " + there_ + " peer " + here_ + " dev qzd1",
        "ip -n " + pub_ + " link set qzd0 up", "ip -n " + ing_ + " link set qzd1 up",
        "ip -n " + pub_ + " route replace default dev qzd0"};
    for (const auto& c : setup)
      if (sh(c) != 0) return;
    std::filesystem::create_directories(dir_ / "record");
    ok_ = rtmptest::startNamespaceNginx(dir_, ing_, pub_, there_, "",
                                        " record all; record_path " + (dir_ / "record").string() +
                                            "; record_unique off;");
  }
  ~DelayedLink() {
    rtmptest::stopNamespaceNginx(dir_);
    if (forwarder_ > 0) {
      ::kill(forwarder_, SIGTERM);
      ::waitpid(forwarder_, nullptr, 0);
    }
    sh("ip netns del " + pub_);
    sh("ip netns del " + ing_);
    rtmptest::removePeerFiles(dir_);
  }
  bool ok() const { return ok_; }
  // What the ingest recorded of the live period published with `key`.
  rtmptest::Recording recording(const std::string& key) const {
    return rtmptest::readRecording(dir_ / "record" / (key + ".flv"));
  }
  bool freezeServer(bool frozen) { return rtmptest::signalNamespaceNginx(dir_, frozen ? SIGSTOP : SIGCONT); }
  std::vector<Line> publish(const std::string& key, int seconds, const std::function<void(int)>& at,
                            const std::string& options) {
    return runPublishTool("ip netns exec " + pub_ + " " + qztest::binaryDir() + "/tools/publishdemo --url rtmp://" +
                              there_ + ":1935/live --key " + key + " --seconds " + std::to_string(seconds) + " " +
                              options + " 2>/dev/null",
                          seconds, at);
  }

 private:
  bool startForwarder(int oneWayMs, int kbit) {
    int out[2];
    if (::pipe(out) != 0) return false;
    forwarder_ = ::fork();
    if (forwarder_ == 0) {
      // The link stands for a network, which no load on this machine slows:
      // its forwarding runs ahead of every ordinary process, as it only waits
      // for packets and their times. Without the right to that, it shares the cores.
      const sched_param realTime{1};
      (void)::sched_setscheduler(0, SCHED_FIFO, &realTime);
      ::dup2(out[1], STDOUT_FILENO);
      ::close(out[0]);
      ::close(out[1]);
      const std::string tool = qztest::binaryDir() + "/tools/linkdelay";
      const std::string delay = std::to_string(oneWayMs), rate = std::to_string(kbit);
      ::execl(tool.c_str(), tool.c_str(), pub_.c_str(), "qzd0", ing_.c_str(), "qzd1", delay.c_str(), rate.c_str(),
              "120", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(out[1]);
    char word[16] = {};
    const ssize_t n = forwarder_ > 0 ? ::read(out[0], word, sizeof word - 1) : -1;
    ::close(out[0]);
    return n > 0 && std::string(word).rfind("ready", 0) == 0;
  }

  std::filesystem::path dir_;
  std::string pub_, ing_, here_, there_;
  pid_t forwarder_ = -1;
  bool ok_ = false;
};

const char* kNoiseAt1080p = "--resolution 1080p --camera synthetic-noise";
// Noise that two loaded cores still encode in time: whatever the rate does
// then comes from the network's queue, not from an encoder behind.
const char* kNoiseAt720p = "--resolution 720p --camera synthetic-noise";

bool loweredTheRate(const json& v) {
  return startsWith(v, "message", "Uplink congested: ") || startsWith(v, "message", "Upload falling behind: ");
}

TEST(PublisherLatency, ALongRoundTripWithBandwidthToSpareKeepsTheFullRateAndGoodQuality) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
  for (int oneWayMs : {50, 100}) {
    DelayedLink link("publisher-latency", 237, oneWayMs);
    if (!link.ok()) GTEST_SKIP() << "network namespaces, TUN devices or nginx are not available";
    const auto lines = link.publish("far", 22, [](int) {}, kNoiseAt720p);
    const std::string log = std::to_string(2 * oneWayMs) + " ms round trip\n" + trace(lines);
    const Line* live = first(lines, inState("live"));
    ASSERT_NE(live, nullptr) << log;
    EXPECT_EQ(first(lines, loweredTheRate), nullptr) << log;
    // From two seconds after going live, every report: the maximum, good.
    int reports = 0;
    for (const auto& s : only(lines, "stats")) {
      // The zeroed statistics of the stop close the run.
      if (s.at < live->at + 2 || s.value["codec"] == "") continue;
      ++reports;
      EXPECT_EQ(s.value["targetKbps"], RTMPPublisher::kMaximumBitrate720 / 1000) << log;
      EXPECT_EQ(s.value["quality"], "good") << log;
    }
    EXPECT_GE(reports, 12) << log;
    EXPECT_EQ(first(lines, [](const json& v) {
      return startsWith(v, "message", "Publish interrupted: ") && v["message"] != "Publish interrupted: Stopped";
    }), nullptr) << log;
    // Every picture made is at the ingest or counted as dropped, at the rate reported.
    std::string said;
    std::vector<rtmptest::FpsReport> fps;
    for (const auto& l : lines) {
      if (l.value["event"] == "log") said += l.value.value("message", "") + "\n";
      if (l.value["event"] == "stats" && l.value["codec"] != "")
        fps.push_back({l.value["t"].get<double>(), l.value["fps"].get<int64_t>()});
    }
    const auto periods = rtmptest::periodPictures(said);
    ASSERT_EQ(periods.size(), 1u) << log;
    EXPECT_TRUE(rtmptest::everyPictureAccountedFor(link.recording("far"), periods.front(), fps, 30)) << log;
  }
}

TEST(PublisherLatency, ALinkSlowerThanTheStreamStillStepsTheRateDown) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
  DelayedLink link("publisher-latency-slow", 238, 100, 1500);
  if (!link.ok()) GTEST_SKIP() << "network namespaces, TUN devices or nginx are not available";
  const auto lines = link.publish("narrow", 26, [](int) {}, kNoiseAt1080p);
  const std::string log = trace(lines);
  ASSERT_NE(first(lines, inState("live")), nullptr) << log;
  ASSERT_NE(first(lines, loweredTheRate), nullptr) << log;
  const auto stats = only(lines, "stats");
  ASSERT_FALSE(stats.empty()) << log;
  EXPECT_LT(stats.back().value["targetKbps"].get<int64_t>(), 1500) << log;
}

TEST(PublisherLatency, ServerStoppedOnALongRoundTripIsAStallWithinSixSeconds) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
  DelayedLink link("publisher-latency-frozen", 239, 100);
  if (!link.ok()) GTEST_SKIP() << "network namespaces, TUN devices or nginx are not available";
  constexpr int kFrozenAt = 10;
  bool frozen = false;
  const auto lines = link.publish("stopped", 20, [&](int second) {
    if (second == kFrozenAt) frozen = link.freezeServer(true);
  }, kNoiseAt720p);
  link.freezeServer(false);
  ASSERT_TRUE(frozen);
  const std::string log = trace(lines);
  const Line* live = first(lines, inState("live"));
  ASSERT_NE(live, nullptr) << log;
  // Healthy until the freeze; a backlog after it may lower the rate.
  const Line* lowered = first(lines, loweredTheRate);
  EXPECT_TRUE(!lowered || lowered->at > kFrozenAt) << log;
  const Line* stalled = first(lines, says("Publish interrupted: Upload stalled"));
  ASSERT_NE(stalled, nullptr) << log;
  EXPECT_EQ(first(lines, [](const json& v) { return startsWith(v, "message", "Publish interrupted: "); }), stalled)
      << log;
  std::printf("upload stalled %.2f s after the freeze\n", stalled->at - kFrozenAt);
  EXPECT_GT(stalled->at - kFrozenAt, 3.5) << log;
  EXPECT_LE(stalled->at - kFrozenAt, 6.0) << log;
}

}  // namespace
}  // namespace quarzadel
