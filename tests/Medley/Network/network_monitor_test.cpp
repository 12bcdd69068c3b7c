#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "Medley/Sources/Network/NetworkMonitor.h"
#include "Medley/Util/virtual_run.h"

using medley::NetworkMonitor;
using medley::NetworkMonitorEvent;
using medley::NetworkTransportReport;
using medleytest::Collector;
using medleytest::runNow;
using platform::Async;
using platform::milliseconds;
using platform::seconds;
using Kind = NetworkMonitorEvent::Kind;

namespace {

// A transport whose figures the test sets; it may take a while to answer.
class FakeTransport final : public platform::Actor,
                            public medley::NetworkTransportReporter,
                            public std::enable_shared_from_this<FakeTransport> {
 public:
  explicit FakeTransport(std::shared_ptr<platform::VirtualRuntime> rt) : Actor("transport", rt), rt_(std::move(rt)) {}

  Async<std::shared_ptr<NetworkMonitor>> makeNetworkMonitor() override {
    co_await hop();
    co_return std::make_shared<NetworkMonitor>(weak_from_this(), rt_);
  }
  Async<NetworkTransportReport> makeNetworkTransportReport() override {
    co_await hop();
    ++requests;
    if (answerDelay > 0) co_await platform::sleepFor(answerDelay);
    co_return report;
  }

  NetworkTransportReport report;
  platform::Nanos answerDelay = 0;
  int requests = 0;

 private:
  std::shared_ptr<platform::VirtualRuntime> rt_;
};

struct MonitorTest : testing::Test {
  std::shared_ptr<platform::VirtualRuntime> rt = platform::VirtualRuntime::make();
  std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>(rt);
  std::shared_ptr<NetworkMonitor> monitor = runNow(rt, transport->makeNetworkMonitor());

  // Ends the measuring task, so that nothing is left waiting.
  void TearDown() override {
    if (monitor) stop();
    rt->runUntilIdle();
  }

  Collector<NetworkMonitorEvent> listen() { return Collector<NetworkMonitorEvent>(rt, runNow(rt, monitor->event())); }
  void start() { runNow(rt, monitor->startRunning()); }
  void stop() { runNow(rt, monitor->stopRunning()); }
  // One second passes with the transport reporting these figures at its end.
  void second(int64_t queued, int64_t in = 0, int64_t out = 0) {
    transport->report = NetworkTransportReport{queued, in, out, std::nullopt};
    rt->advance(seconds(1));
  }
};

std::vector<Kind> kinds(const std::vector<NetworkMonitorEvent>& events) {
  std::vector<Kind> out;
  for (const auto& e : events) out.push_back(e.kind());
  return out;
}

}  // namespace

TEST_F(MonitorTest, WarnsWhileTheSendQueueKeepsGrowingAndRatesAreTheDifferences) {
  auto events = listen();
  start();
  int64_t total = 0;
  for (int64_t queued : {100, 200, 300, 400, 400, 500, 600, 300}) {
    total += 1000;
    second(queued, total, 2 * total);
  }
  EXPECT_EQ(kinds(events.values()),
            (std::vector<Kind>{Kind::status, Kind::status, Kind::publishInsufficientBWOccured,
                               Kind::publishInsufficientBWOccured, Kind::status, Kind::status,
                               Kind::publishInsufficientBWOccured, Kind::status}));
  EXPECT_EQ(events.values()[6].report()->currentQueueBytesOut, 600);
  // A fresh monitor measures its first rates against zero.
  EXPECT_EQ(*events.values()[0].report(), (medley::NetworkMonitorReport{1000, 2000, 100, 1000, 2000, 0}));
  EXPECT_EQ(*events.values()[1].report(), (medley::NetworkMonitorReport{2000, 4000, 200, 1000, 2000, 0}));
}

TEST_F(MonitorTest, TheAgeOfTheLastOutputIsTheTransportsWordOrElseTheLastMeasurementThatSawItGrow) {
  auto events = listen();
  rt->advance(seconds(5));  // nothing is seen before the start
  start();
  auto age = [&] { return events.values().back().report()->nanosSinceOutput; };
  second(0, 0, 0);
  EXPECT_EQ(age(), seconds(1)) << "nothing sent since measuring began";
  second(0, 0, 500);
  EXPECT_EQ(age(), 0);
  second(0, 0, 500);
  second(0, 0, 500);
  EXPECT_EQ(age(), seconds(2));

  // A transport that keeps track says when within the second: its word counts,
  // also across a stop, and never lies ahead of the measurement.
  transport->report = NetworkTransportReport{0, 0, 500, rt->now() + milliseconds(200)};
  rt->advance(seconds(1));
  EXPECT_EQ(age(), milliseconds(800));
  stop();
  auto again = listen();
  start();
  rt->advance(seconds(1));
  ASSERT_EQ(again.values().size(), 1u);
  EXPECT_EQ(again.values()[0].report()->nanosSinceOutput, milliseconds(1800));
  transport->report.outputAt = rt->now() + seconds(3);
  rt->advance(seconds(1));
  EXPECT_EQ(again.values().back().report()->nanosSinceOutput, 0);
}

TEST_F(MonitorTest, OnlyTheLastReaderGetsEventsFromOneSecondAfterTheFirstStart) {
  auto first = listen();
  auto events = listen();
  start();
  rt->advance(milliseconds(500));
  start();
  rt->advance(milliseconds(499));
  EXPECT_TRUE(events.values().empty());
  rt->advance(milliseconds(1));
  EXPECT_EQ(events.values().size(), 1u);
  rt->advance(seconds(1));
  EXPECT_EQ(events.values().size(), 2u);
  EXPECT_EQ(transport->requests, 2);
  EXPECT_TRUE(first.ended() && first.values().empty());
}

TEST_F(MonitorTest, StopEndsTheSequenceAndARestartKeepsTotalsAndQueueWindow) {
  auto events = listen();
  start();
  second(100, 1000, 4000);
  second(200, 1000, 4000);
  stop();
  EXPECT_TRUE(events.ended());
  EXPECT_EQ(rt->pendingTimers(), 0u) << "no tick is left once stopped";
  stop();  // a second stop does nothing

  auto again = listen();
  start();
  second(300, 1200, 4500);
  ASSERT_EQ(again.values().size(), 1u);
  EXPECT_EQ(again.values()[0].kind(), Kind::publishInsufficientBWOccured);
  EXPECT_EQ(again.values()[0].report()->currentBytesInPerSecond, 200);
  EXPECT_EQ(again.values()[0].report()->currentBytesOutPerSecond, 500);
}

TEST_F(MonitorTest, AReleasedReporterEndsTheSequenceWhileTheTimerGoesOn) {
  auto events = listen();
  start();
  second(10);
  transport.reset();
  rt->advance(seconds(1));
  EXPECT_TRUE(events.ended());
  EXPECT_EQ(events.values().size(), 1u);
  EXPECT_TRUE(runNow(rt, monitor->isRunning()));

  // Every later tick fails the same way: a new reader's sequence ends at the next one.
  auto later = listen();
  rt->advance(seconds(1));
  EXPECT_TRUE(later.ended());
  EXPECT_TRUE(later.values().empty());
}

TEST_F(MonitorTest, AMeasurementInFlightWhenStoppedReachesNoOne) {
  transport->answerDelay = milliseconds(500);
  auto events = listen();
  start();
  transport->report = NetworkTransportReport{0, 700, 900, std::nullopt};
  rt->advance(seconds(1));  // the request is on its way
  stop();
  auto again = listen();
  start();
  rt->advance(milliseconds(500));  // the old answer arrives
  EXPECT_TRUE(again.values().empty());

  rt->advance(milliseconds(1000));  // the new loop's first answer
  ASSERT_EQ(again.values().size(), 1u);
  EXPECT_EQ(again.values()[0].report()->currentBytesInPerSecond, 700) << "the discarded answer moved no totals";
}

TEST_F(MonitorTest, DroppingTheMonitorEndsItsTimer) {
  auto events = listen();
  start();
  second(1);
  monitor.reset();
  rt->advance(seconds(3));
  EXPECT_EQ(rt->pendingTimers(), 0u);
  EXPECT_TRUE(events.ended());
  EXPECT_EQ(transport->requests, 1);
}
