#include "Medley/Sources/Network/NetworkMonitor.h"

#include <algorithm>
#include <string>

#include "Medley/Sources/Util/MedleyLogger.h"
#include "Platform/Concurrency/Sleep.h"

namespace medley {

using platform::Async;

NetworkMonitor::NetworkMonitor(std::weak_ptr<NetworkTransportReporter> reporter,
                               std::shared_ptr<platform::Runtime> runtime)
    : Actor(std::string(kLibraryIdentifierPrefix) + ".Medley.NetworkMonitor", std::move(runtime)),
      reporter_(std::move(reporter)) {}

NetworkMonitor::~NetworkMonitor() { timer_.cancel(); }

Async<platform::AsyncStream<NetworkMonitorEvent>> NetworkMonitor::event() {
  co_await hop();
  co_return continuation_.makeStream();
}

Async<bool> NetworkMonitor::isRunning() {
  co_await hop();
  co_return isRunning_;
}

Async<void> NetworkMonitor::startRunning() {
  co_await hop();
  if (isRunning_) co_return;
  isRunning_ = true;
  outputAt_ = std::max(outputAt_, queue()->runtime()->now());
  timer_.cancel();
  timer_ = platform::spawn(queue(), &NetworkMonitor::tickLoop, weak_from_this());
}

Async<void> NetworkMonitor::stopRunning() {
  co_await hop();
  if (!isRunning_) co_return;
  isRunning_ = false;
  timer_.cancel();
  timer_ = {};
  continuation_.finish();
}

// Holds the monitor weakly between ticks, so that dropping it ends the loop.
Async<void> NetworkMonitor::tickLoop(std::weak_ptr<NetworkMonitor> weak) {
  while (true) {
    try {
      co_await platform::sleepFor(kTickInterval);
    } catch (const platform::CancellationError&) {
      co_return;
    }
    auto self = weak.lock();
    if (!self) co_return;
    co_await self->tick();
  }
}

Async<void> NetworkMonitor::tick() {
  co_await hop();
  std::optional<NetworkMonitorEvent> event;
  try {
    event = co_await measure();
  } catch (const platform::CancellationError&) {
    co_return;  // stopped while the reporter answered: the measurement belongs to no one
  } catch (const std::exception& error) {
    // Once per run of failures: a released reporter fails every tick until stopped.
    if (!failing_) MEDLEY_LOG_WARN("measurement failed:", error.what());
  }
  failing_ = !event;
  if (event)
    continuation_.yield(*event);
  else
    continuation_.finish();
}

Async<NetworkMonitorEvent> NetworkMonitor::measure() {
  auto reporter = reporter_.lock();
  if (!reporter) throw Error(Error::Kind::invalidState);
  const NetworkTransportReport report = co_await reporter->makeNetworkTransportReport();
  reporter.reset();
  if (co_await platform::isCancelled()) throw platform::CancellationError();

  const platform::Nanos now = queue()->runtime()->now();
  if (report.outputAt)
    outputAt_ = std::min(*report.outputAt, now);
  else if (report.totalBytesOut > previousTotalBytesOut_)
    outputAt_ = now;

  currentBytesInPerSecond_ = report.totalBytesIn - previousTotalBytesIn_;
  currentBytesOutPerSecond_ = report.totalBytesOut - previousTotalBytesOut_;
  previousTotalBytesIn_ = report.totalBytesIn;
  previousTotalBytesOut_ = report.totalBytesOut;

  previousQueueBytesOut_.push_back(report.queueBytesOut);
  bool insufficient = false;
  if (previousQueueBytesOut_.size() >= measureInterval_) {
    size_t growing = 0;
    for (size_t i = 1; i < previousQueueBytesOut_.size(); ++i) {
      if (previousQueueBytesOut_[i - 1] < previousQueueBytesOut_[i]) ++growing;
    }
    insufficient = growing == measureInterval_ - 1;
    previousQueueBytesOut_.pop_front();
  }

  const NetworkMonitorReport measured{report.totalBytesIn, report.totalBytesOut, report.queueBytesOut,
                                      currentBytesInPerSecond_, currentBytesOutPerSecond_, now - outputAt_};
  co_return insufficient ? NetworkMonitorEvent::publishInsufficientBWOccured(measured)
                         : NetworkMonitorEvent::status(measured);
}

}  // namespace medley
