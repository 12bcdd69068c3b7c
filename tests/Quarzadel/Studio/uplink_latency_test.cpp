// The bit-rate rule fed by the socket's own accounting over a simulated TCP
// connection on virtual time: a long round trip with bandwidth to spare is no
// congestion, a link slower than the stream is, a server that reads at a pace
// above the stream costs the rate only while it pauses, and a server whose
// program stops reading is a stall within six seconds whether or not it
// acknowledges what it read. The encoder's output is modelled at the controller's rate with
// a key frame every two seconds.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "Medley/Sources/Network/NetworkMonitor.h"
#include "Medley/Util/virtual_run.h"
#include "Quarzadel/Studio/BitrateController.h"
#include "Quarzadel/Studio/RTMPPublisherStats.h"
#include "RTMPMedley/Sources/RTMP/Connection/RTMPOutputAccount.h"
#include "peers/SimulatedTcpLink.h"

namespace quarzadel {
namespace {

using platform::milliseconds;
using platform::Nanos;
using platform::seconds;
using Quality = RTMPPublisherStats::Quality;

constexpr int64_t kMaximum = 2867200;  // 1080p
constexpr int64_t kAudio = 128000;
constexpr int64_t kFairBelow = 1720320;

// The socket as the monitor sees it: the link's figures through the account.
class LinkTransport final : public platform::Actor,
                            public medley::NetworkTransportReporter,
                            public std::enable_shared_from_this<LinkTransport> {
 public:
  LinkTransport(std::shared_ptr<platform::VirtualRuntime> rt, rtmptest::LinkShape shape)
      : Actor("link", rt), rt_(std::move(rt)), link(shape) {
    account_.begin(rt_->now());
  }
  platform::Async<std::shared_ptr<medley::NetworkMonitor>> makeNetworkMonitor() override {
    co_await hop();
    co_return std::make_shared<medley::NetworkMonitor>(weak_from_this(), rt_);
  }
  platform::Async<medley::NetworkTransportReport> makeNetworkTransportReport() override {
    co_await hop();
    link.advanceTo(rt_->now());
    co_return account_.report(link.sample());
  }

 private:
  std::shared_ptr<platform::VirtualRuntime> rt_;
  rtmpmedley::RTMPOutputAccount account_;

 public:
  rtmptest::SimulatedTcpLink link;
};

struct Second {
  double at;
  int64_t bitrate;
  int64_t sent;
  int64_t queued;
  Quality quality;
  double silentFor;  // seconds since output last moved
};

// The encoder's key frames: `at` frames into each two seconds, each `worth`
// frames of the rate.
struct KeyFrames {
  int at = 0;
  int worth = 8;
};

struct Publication {
  std::vector<Second> seconds;
  std::vector<BitrateController::Change> changes;
};

// Publishes over `shape` for `length`, freezing the server's program at
// `freezeAt` (if given) until `thawAt` (if given); one entry per monitor report.
Publication publish(rtmptest::LinkShape shape, Nanos length, std::optional<Nanos> freezeAt = std::nullopt,
                    std::optional<Nanos> thawAt = std::nullopt, KeyFrames keyFrames = {}) {
  auto rt = platform::VirtualRuntime::make();
  auto transport = std::make_shared<LinkTransport>(rt, shape);
  auto monitor = medleytest::runNow(rt, transport->makeNetworkMonitor());
  medleytest::Collector<medley::NetworkMonitorEvent> events(rt, medleytest::runNow(rt, monitor->event()));
  medleytest::runNow(rt, monitor->startRunning());
  BitrateController controller(kMaximum, kAudio, kMaximum);
  Publication run;
  const Nanos began = rt->now();
  constexpr Nanos kFrame = 1'000'000'000 / 30;
  size_t handled = 0;
  for (int64_t frame = 0; frame * kFrame < length; ++frame) {
    if (freezeAt && frame * kFrame >= *freezeAt) transport->link.freeze(!thawAt || frame * kFrame < *thawAt);
    // A key frame every two seconds; the rest share what is left.
    const int64_t perSecond = (controller.bitrate + kAudio) / 8;
    const int64_t key = perSecond * keyFrames.worth / 30;
    transport->link.write(static_cast<uint64_t>(frame % 60 == keyFrames.at ? key : (perSecond * 2 - key) / 59));
    rt->advance(kFrame);
    rt->runUntilIdle();
    transport->link.advanceTo(rt->now());
    for (; handled < events.values().size(); ++handled) {
      const auto& event = events.values()[handled];
      if (!event.report()) continue;
      const auto& r = *event.report();
      const bool insufficient = event.kind() == medley::NetworkMonitorEvent::Kind::publishInsufficientBWOccured;
      if (auto change = controller.step(insufficient, r.currentBytesOutPerSecond, r.currentQueueBytesOut))
        run.changes.push_back(*change);
      const double queueTime = RTMPPublisherStats::queueSeconds(r.currentQueueBytesOut, r.currentBytesOutPerSecond,
                                                                kAudio + controller.bitrate);
      run.seconds.push_back({platform::toSeconds(rt->now() - began), controller.bitrate, r.currentBytesOutPerSecond,
                             r.currentQueueBytesOut, RTMPPublisherStats::qualityOf(controller.bitrate, queueTime, kFairBelow),
                             platform::toSeconds(r.nanosSinceOutput.value_or(0))});
    }
  }
  medleytest::runNow(rt, monitor->stopRunning());
  return run;
}

std::string describe(const Publication& run) {
  std::string out;
  for (const auto& s : run.seconds)
    out += std::to_string(static_cast<int>(s.at)) + "s " + std::to_string(s.bitrate / 1000) + " kbps, sent " +
           std::to_string(s.sent / 125) + " kbps, " + std::to_string(s.queued / 1024) + " KB queued, quality " +
           std::to_string(static_cast<int>(s.quality)) + ", silent " + std::to_string(s.silentFor) + " s\n";
  return out;
}

// A round trip of 100 or 200 ms on a 20 Mbit/s path, to a server that
// acknowledges what it read and to one that never does.
class LongRoundTrip : public testing::TestWithParam<std::tuple<int, bool>> {};

TEST_P(LongRoundTrip, WithBandwidthToSpareTheRateStaysAtTheMaximumAndTheQualityGood) {
  const auto [roundTripMs, acknowledges] = GetParam();
  rtmptest::LinkShape shape;
  shape.roundTrip = milliseconds(roundTripMs);
  shape.bytesPerSecond = 20'000'000 / 8;
  shape.ackWindow = acknowledges ? 16 * 1024 : 0;
  const Publication run = publish(shape, seconds(60));
  ASSERT_GE(run.seconds.size(), 55u);
  EXPECT_TRUE(run.changes.empty()) << describe(run);
  for (const auto& s : run.seconds) {
    EXPECT_EQ(s.bitrate, kMaximum) << describe(run);
    EXPECT_EQ(s.quality, Quality::good) << describe(run);
    // Output keeps moving: never near the stall rule's four seconds.
    EXPECT_LT(s.silentFor, 1.5) << describe(run);
    if (s.bitrate != kMaximum || s.quality != Quality::good || s.silentFor >= 1.5) break;
  }
  // What is on its way is not waiting: the queue stays well under a round trip's worth.
  int64_t mostQueued = 0;
  for (const auto& s : run.seconds) mostQueued = std::max(mostQueued, s.queued);
  EXPECT_LT(mostQueued, 64 * 1024) << describe(run);
}

INSTANTIATE_TEST_SUITE_P(Paths, LongRoundTrip,
                         testing::Combine(testing::Values(100, 200), testing::Bool()),
                         [](const auto& info) {
                           return std::to_string(std::get<0>(info.param)) + "ms" +
                                  (std::get<1>(info.param) ? "Acknowledged" : "Unacknowledged");
                         });

TEST(SlowLink, ALinkSlowerThanTheStreamStillBringsTheRateDownBelowIt) {
  for (int roundTripMs : {2, 200}) {
    rtmptest::LinkShape shape;
    shape.roundTrip = milliseconds(roundTripMs);
    shape.bytesPerSecond = 1'500'000 / 8;
    const Publication run = publish(shape, seconds(60));
    ASSERT_FALSE(run.changes.empty()) << roundTripMs << " ms\n" << describe(run);
    EXPECT_NE(run.changes.front().kind, BitrateController::Adjustment::recovered);
    // Down under the link's rate, audio included, within a quarter minute;
    // from there on it probes upwards and steps back, averaging no more than the link.
    double lowest = 1e9, sum = 0;
    int count = 0;
    for (const auto& s : run.seconds) {
      if (s.at <= 15) lowest = std::min(lowest, static_cast<double>(s.bitrate + kAudio));
      if (s.at > 15) sum += static_cast<double>(s.bitrate + kAudio), ++count;
    }
    EXPECT_LT(lowest, 1'500'000) << roundTripMs << " ms\n" << describe(run);
    ASSERT_GT(count, 0);
    EXPECT_LT(sum / count, 1'500'000) << roundTripMs << " ms\n" << describe(run);
    // A slow link is no stall.
    for (const auto& s : run.seconds) EXPECT_LT(s.silentFor, 4.0) << roundTripMs << " ms\n" << describe(run);
  }
}

// An ingest whose program reads steadily at 4 Mbit/s, a third above the
// stream, over a 200 ms path: a key frame's burst waits for the reader and,
// depending on where it falls between the reports, shows at every other one.
// That alone is no congestion; a pause of the reader is, and once it reads
// again with nothing standing in the queue the rate climbs back to the maximum.
TEST(SteadyReader, StepsDownOnlyForAPauseAndThenClimbsBackToTheMaximum) {
  rtmptest::LinkShape shape;
  shape.roundTrip = milliseconds(200);
  shape.bytesPerSecond = 20'000'000 / 8;
  shape.readBytesPerSecond = 4'000'000 / 8;
  shape.readEvery = milliseconds(100);
  for (int keyPhase : {0, 10, 20, 30, 40, 50}) {
    // Key frames of a quarter of their two seconds, as a still picture gives.
    const KeyFrames keyFrames{keyPhase, 16};
    const Publication steady = publish(shape, seconds(60), std::nullopt, std::nullopt, keyFrames);
    EXPECT_TRUE(steady.changes.empty()) << "key frames at " << keyPhase << "\n" << describe(steady);

    const Publication paused = publish(shape, seconds(100), seconds(10), seconds(12), keyFrames);
    ASSERT_FALSE(paused.changes.empty()) << "key frames at " << keyPhase << "\n" << describe(paused);
    int cuts = 0;
    for (const auto& change : paused.changes)
      if (change.kind != BitrateController::Adjustment::recovered) ++cuts;
    EXPECT_EQ(cuts, 1) << "key frames at " << keyPhase << "\n" << describe(paused);
    // Never below the 70 % floor of a single step, and back at the maximum well
    // within 75 s of the pause, staying there.
    for (const auto& s : paused.seconds) {
      EXPECT_GE(s.bitrate, kMaximum * 7 / 10) << "key frames at " << keyPhase << "\n" << describe(paused);
      if (s.at >= 10 + 75) EXPECT_EQ(s.bitrate, kMaximum) << s.at << " s, key frames at " << keyPhase << "\n"
                                                          << describe(paused);
      if (s.bitrate < kMaximum * 7 / 10 || (s.at >= 10 + 75 && s.bitrate != kMaximum)) break;
    }
  }
}

// The stall rule: output silent for more than four seconds, looked at with
// each report. Where the server froze at `frozenAt`, when the rule first held.
std::optional<double> stallSeen(const Publication& run) {
  for (const auto& s : run.seconds)
    if (s.silentFor > 4.0) return s.at - s.silentFor + 4.0;
  return std::nullopt;
}

// A server whose program stops reading at 20 s, its kernel's buffer still
// taking bytes: a round trip of a tenth of a millisecond with a buffer grown
// to 4 MB, and a 200 ms path; acknowledging what it read or not.
class FrozenPeer : public testing::TestWithParam<std::tuple<int, bool>> {};

TEST_P(FrozenPeer, IsAStallWithinSixSecondsAndNoneBefore) {
  const auto [roundTripUs, acknowledges] = GetParam();
  rtmptest::LinkShape shape;
  shape.roundTrip = roundTripUs * 1000;
  shape.bytesPerSecond = 20'000'000 / 8;
  shape.ackWindow = acknowledges ? 16 * 1024 : 0;
  shape.receiveBuffer = roundTripUs < 1000 ? 4 * 1024 * 1024 : 512 * 1024;
  const Publication run = publish(shape, seconds(30), seconds(20));
  const auto stall = stallSeen(run);
  ASSERT_TRUE(stall) << describe(run);
  EXPECT_GT(*stall, 20.0 + 3.5) << describe(run);
  EXPECT_LE(*stall, 20.0 + 6.0) << describe(run);
  // Meanwhile the backlog shows.
  int64_t mostQueued = 0;
  for (const auto& s : run.seconds)
    if (s.at > 20 && s.at <= *stall) mostQueued = std::max(mostQueued, s.queued);
  EXPECT_GT(mostQueued, 512 * 1024) << describe(run);
}

INSTANTIATE_TEST_SUITE_P(Paths, FrozenPeer,
                         testing::Combine(testing::Values(100, 200000), testing::Bool()),
                         [](const auto& info) {
                           return std::to_string(std::get<0>(info.param)) + "us" +
                                  (std::get<1>(info.param) ? "Acknowledged" : "Unacknowledged");
                         });

}  // namespace
}  // namespace quarzadel
