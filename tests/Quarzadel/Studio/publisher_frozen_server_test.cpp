// The publish tool against a server whose program stops reading while its
// kernel still takes bytes into its buffer, on loopback with the system's own
// buffer sizes: nginx stopped by a signal, and a scripted server that falls
// silent. Healthy first, the stream is never called stalled; frozen, it is
// within seconds, the statistics showing the backlog meanwhile. Real time,
// each case well under a minute.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <string>
#include <vector>

#include "Quarzadel/Studio/PublishToolRun.h"
#include "TestPaths.h"
#include "peers/PeerProcess.h"
#include "peers/ScriptedRTMPPeer.h"

namespace quarzadel {
namespace {

// What the tool's lines show of one freeze at `frozenAt` seconds.
struct Freeze {
  const Line* stalled = nullptr;  // "Publish interrupted: Upload stalled"
  double stalledAfter = 0;        // seconds from the freeze
  bool healthyBefore = true;      // live, sending, never interrupted before the freeze
  int64_t mostQueuedKB = 0;       // between the freeze and the stall
  bool qualityFell = false;
  int64_t healthyKbps = 0;        // the median upload before the freeze
};

Freeze freezeSeenIn(const std::vector<Line>& lines, double frozenAt) {
  Freeze f;
  f.stalled = first(lines, says("Publish interrupted: Upload stalled"));
  if (f.stalled) f.stalledAfter = f.stalled->at - frozenAt;
  const Line* live = first(lines, inState("live"));
  f.healthyBefore = live && live->at < frozenAt - 8;
  std::vector<int64_t> uploads;
  for (const auto& l : lines) {
    if (l.at < frozenAt && startsWith(l.value, "message", "Publish interrupted: ")) f.healthyBefore = false;
    if (l.value["event"] != "stats" || !live) continue;
    // Every whole second of the healthy run sent something.
    if (l.at > live->at + 1.5 && l.at < frozenAt && l.value["uploadKbps"] == 0) f.healthyBefore = false;
    if (l.at > live->at + 1.5 && l.at < frozenAt) uploads.push_back(l.value["uploadKbps"].get<int64_t>());
    if (l.at > frozenAt && f.stalled && l.at <= f.stalled->at) {
      f.mostQueuedKB = std::max(f.mostQueuedKB, l.value["queuedKB"].get<int64_t>());
      f.qualityFell = f.qualityFell || l.value["quality"] != "good";
    }
  }
  std::sort(uploads.begin(), uploads.end());
  if (!uploads.empty()) f.healthyKbps = uploads[uploads.size() / 2];
  return f;
}

std::string publishTool(const std::string& url, const std::string& key, int seconds, const std::string& options) {
  return qztest::binaryDir() + "/tools/publishdemo --url " + url + " --key " + key + " --seconds " +
         std::to_string(seconds) + " " + options + " 2>/dev/null";
}

constexpr int kFrozenAt = 12, kThawedAt = 21;

// One run of the tool through a freeze, as its lines and what they show of it.
struct FrozenRun {
  std::vector<Line> lines;
  std::string log;
  Freeze freeze;
};

// Publishes the noise camera's 1080p to `url` for `seconds`, stopping the
// server's process `pid` at kFrozenAt and letting it go on at kThawedAt.
void publishThroughAFreeze(const std::string& url, pid_t pid, int seconds, FrozenRun& run) {
  bool frozen = false, thawed = false;
  run.lines = runPublishTool(publishTool(url, "noise", seconds, "--resolution 1080p --camera synthetic-noise"), seconds,
                             [&](int second) {
                               if (second == kFrozenAt) frozen = ::kill(pid, SIGSTOP) == 0;
                               if (second == kThawedAt) thawed = ::kill(pid, SIGCONT) == 0;
                             });
  if (!thawed) ::kill(pid, SIGCONT);
  ASSERT_TRUE(frozen && thawed);
  run.log = trace(run.lines);
  run.freeze = freezeSeenIn(run.lines, kFrozenAt);
  EXPECT_TRUE(run.freeze.healthyBefore) << run.log;
  ASSERT_NE(run.freeze.stalled, nullptr) << run.log;
  std::printf("upload stalled %.2f s after the freeze, %lld KB queued meanwhile, %lld kbps sent before\n",
              run.freeze.stalledAfter, static_cast<long long>(run.freeze.mostQueuedKB),
              static_cast<long long>(run.freeze.healthyKbps));
}

TEST(FrozenServer, NginxStoppedWhileLiveIsAStallWithinSixSecondsAtTheNoiseCamerasRate) {
  rtmptest::PeerProcess nginx("nginx-rtmp.sh", rtmptest::peerDirectory("frozen-nginx"));
  ASSERT_TRUE(nginx.ok()) << nginx.output();
  pid_t pid = 0;
  std::ifstream(nginx.dir() / "logs" / "nginx.pid") >> pid;
  ASSERT_GT(pid, 0);
  FrozenRun run;
  ASSERT_NO_FATAL_FAILURE(
      publishThroughAFreeze("rtmp://127.0.0.1:" + std::to_string(nginx.port()) + "/live", pid, 26, run));
  const auto& [lines, log, f] = run;
  // More than four seconds after the output last moved, and a tenth at most
  // for the watch to look. The output last moved about when the server froze:
  // on a loaded machine the encoder's pictures come unevenly, and the last
  // write before the freeze may be a few of them earlier. (The rule's own
  // timing is tested on virtual time.)
  EXPECT_GT(f.stalledAfter, 3.5) << log;
  EXPECT_LE(f.stalledAfter, 6.0) << log;
  // What the stream made piles up once the kernel's buffers are full: the
  // statistics show more than a second of what it sent while healthy (how
  // much the buffers took first, and how much an encoder slowed by the load
  // made, vary with the machine), and the quality falls with it.
  EXPECT_GT(f.mostQueuedKB * 1024 * 8, f.healthyKbps * 1000) << log;
  EXPECT_TRUE(f.qualityFell) << log;
  // Reading again, the server gets the program back.
  EXPECT_NE(first(lines, inState("live"), f.stalled->at), nullptr) << log;
}

// node-media-server never acknowledges what it read: only its TCP receive
// window, which stops moving on when it stops reading, tells of the freeze.
TEST(FrozenServer, NodeMediaServerStoppedWhileLiveIsAStallWithinSixSecondsThoughItNeverAcknowledges) {
  rtmptest::PeerProcess server("node-media-server.sh", rtmptest::peerDirectory("frozen-nms"));
  if (!server.ok()) GTEST_SKIP() << "node-media-server is not available: " << server.output();
  // The script records the id of the command that bounds the server's life; node is its child.
  pid_t wrapper = 0, pid = 0;
  std::ifstream(server.dir() / "peer.pid") >> wrapper;
  std::ifstream("/proc/" + std::to_string(wrapper) + "/task/" + std::to_string(wrapper) + "/children") >> pid;
  ASSERT_GT(pid, 0);
  FrozenRun run;
  ASSERT_NO_FATAL_FAILURE(
      publishThroughAFreeze("rtmp://127.0.0.1:" + std::to_string(server.port()) + "/live", pid, 24, run));
  const auto& [lines, log, f] = run;
  EXPECT_GT(f.stalledAfter, 3.5) << log;
  EXPECT_LE(f.stalledAfter, 6.0) << log;
  EXPECT_TRUE(f.qualityFell) << log;
}

TEST(FrozenServer, AScriptedServerThatStopsReadingIsAStallWithinTenSecondsAtTheSyntheticPicturesRate) {
  constexpr double kReadsFor = 9;
  std::atomic<bool> done{false};
  rtmptest::ScriptedRTMPPeer peer([&](rtmptest::PeerSession& s, int) {
    s.acknowledgeReads();
    if (!s.handshakeAndAccept()) return;
    while (auto c = s.readCommand()) {
      if (c->commandName == "createStream") s.sendResult(c->transactionId, {rtmptest::AMFValue(1.0)});
      if (c->commandName != "publish") continue;
      s.sendCommand("onStatus", 0, std::nullopt,
                    {rtmptest::AMFValue(rtmptest::statusObject("NetStream.Publish.Start", "status", ""))}, c->streamId);
      break;
    }
    s.readFor(platform::seconds(kReadsFor));
    // Falls silent: the connection stays open, nothing more is read.
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  });
  const auto lines = runPublishTool(publishTool(peer.url(), "quiet", 24, "--resolution 720p"), 24, [](int) {});
  done = true;
  const std::string log = trace(lines);
  ASSERT_FALSE(only(lines, "stats").empty()) << log;
  // The script's reading began about when the tool went live.
  const Line* live = first(lines, inState("live"));
  ASSERT_NE(live, nullptr) << log;
  const double silentAt = live->at + kReadsFor;
  const Freeze f = freezeSeenIn(lines, silentAt);
  EXPECT_TRUE(f.healthyBefore) << log;
  ASSERT_NE(f.stalled, nullptr) << log;
  std::printf("upload stalled %.2f s after the server fell silent, %lld KB queued meanwhile\n", f.stalledAfter,
              static_cast<long long>(f.mostQueuedKB));
  EXPECT_LT(f.stalledAfter, 10.0) << log;
  // The synthetic pictures make about 10 KB a second: the queue grew for two of the
  // seconds before the stall at least (the last report before it may come 1 s early).
  EXPECT_GT(f.mostQueuedKB, 15) << log;
}

}  // namespace
}  // namespace quarzadel
