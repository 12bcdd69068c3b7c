// What the socket's accounting makes of the kernel's figures: bytes on their
// way are neither sent nor waiting, a key frame waiting only for the
// congestion window to open is not a backlog (but a closed window, a stretched
// round trip or a loss makes it one), and a peer whose receive window stops
// keeping up stops what counts as sent, though its edge still creeps.
#include <gtest/gtest.h>

#include "RTMPMedley/Sources/RTMP/Connection/RTMPOutputAccount.h"

namespace rtmpmedley {
namespace {

using platform::milliseconds;
using platform::Nanos;
using Sample = RTMPOutputAccount::Sample;

constexpr Nanos kSecond = platform::kNanosPerSecond;

Sample sample(Nanos at, uint64_t queued, uint64_t written, uint64_t unacknowledged, uint64_t unsent,
              uint64_t window = 1 << 20) {
  Sample s;
  s.at = at;
  s.connected = true;
  s.queued = queued;
  s.written = written;
  platform::TcpKernelView k;
  k.unacknowledged = unacknowledged;
  k.unsent = unsent;
  k.acknowledged = written - unacknowledged;
  k.peerWindow = window;
  k.roundTrip = milliseconds(200);
  k.minimumRoundTrip = milliseconds(200);
  s.kernel = k;
  return s;
}

TEST(OutputAccount, BytesOnTheirWayAreNeitherSentNorWaitingWhatTheKernelHoldsUnsentIs) {
  RTMPOutputAccount account;
  account.begin(0);
  // 75 KB in flight on a 200 ms path, 10 KB unsent behind them, 5 KB in our queue.
  const auto r = account.report(sample(kSecond, 5000, 400000, 85000, 10000));
  EXPECT_EQ(r.totalBytesOut, 400000 - 85000);
  EXPECT_EQ(r.queueBytesOut, 5000 + 10000);
  // Gone: nothing waits.
  Sample closed = sample(2 * kSecond, 5000, 400000, 85000, 10000);
  closed.connected = false;
  EXPECT_EQ(account.report(closed).queueBytesOut, 0);
}

TEST(OutputAccount, WhatWaitsOnlyForTheOpeningWindowIsNoBacklogAnythingElseIs) {
  auto opening = sample(kSecond, 150000, 200000, 70000, 65000);
  opening.kernel->initialSlowStart = true;
  EXPECT_TRUE(RTMPOutputAccount::windowOpening(opening.kernel));
  RTMPOutputAccount account;
  account.begin(0);
  EXPECT_EQ(account.report(opening).queueBytesOut, 0);

  auto lost = opening;  // a loss ended the slow start
  lost.kernel->initialSlowStart = false;
  auto stretched = opening;  // a queue on the path
  stretched.kernel->roundTrip = milliseconds(600);
  auto closed = opening;  // the peer's window is full
  closed.kernel->peerWindow = 5000;
  for (const auto& s : {lost, stretched, closed}) {
    EXPECT_FALSE(RTMPOutputAccount::windowOpening(s.kernel));
    RTMPOutputAccount other;
    other.begin(0);
    EXPECT_EQ(other.report(s).queueBytesOut, 150000 + 65000);
  }
}

TEST(OutputAccount, APeerWhoseWindowStopsKeepingUpStopsWhatCountsAsSentThoughItsEdgeCreeps) {
  RTMPOutputAccount account;
  account.begin(0);
  // Reading: the edge moves on with what the peer's kernel takes.
  uint64_t written = 0;
  uint64_t edge = 1 << 20;
  medley::NetworkTransportReport r;
  for (int i = 1; i <= 3; ++i) {
    written += 300000;
    edge += 300000;
    r = account.report(sample(i * kSecond, 0, written, 0, 0, edge - written));
    EXPECT_EQ(r.totalBytesOut, static_cast<int64_t>(written));
    EXPECT_EQ(r.outputAt, i * kSecond);
  }
  // Frozen just after the third report: the kernel still takes 300 KB a
  // second into the buffer, the window's edge creeps by 12 KB.
  const uint64_t frozenAt = written;
  for (int i = 4; i <= 8; ++i) {
    written += 300000;
    edge += 12000;
    r = account.report(sample(i * kSecond, 0, written, 0, 0, edge - written));
  }
  EXPECT_EQ(r.totalBytesOut, static_cast<int64_t>(frozenAt + RTMPOutputAccount::kKernelReadSlack));
  // Output stopped about when the slack ran out, early in the fourth second,
  // and what the buffer took beyond it waits.
  ASSERT_TRUE(r.outputAt);
  EXPECT_LT(*r.outputAt, 3 * kSecond + kSecond / 4);
  EXPECT_EQ(r.queueBytesOut, static_cast<int64_t>(written - frozenAt - RTMPOutputAccount::kKernelReadSlack));
}

TEST(OutputAccount, AWriteUnderWayAtTheFirstReportDoesNotHoldBackWhatAFastReaderTook) {
  // The first report comes while a 3 MB burst is being written: the kernel has
  // taken and acknowledged more than our count of written bytes says yet.
  RTMPOutputAccount account;
  account.begin(0);
  Sample first = sample(kSecond, 0, 45856, 45856, 0, 3905536);
  first.kernel->acknowledged = 1817505;
  account.report(first);
  // Then everything is written and read at once: the window stands where it
  // was, its edge moved on by all that was acknowledged since.
  const auto r = account.report(sample(2 * kSecond, 0, 3049545, 0, 0, 3905536));
  EXPECT_EQ(r.totalBytesOut, 3049545);
  EXPECT_EQ(r.queueBytesOut, 0);
}

}  // namespace
}  // namespace rtmpmedley
