#pragma once
// Measures a transport once a second and publishes what it measured as
// NetworkMonitorEvents: bytes received and sent in the last second, the
// running totals, the bytes waiting in the send queue, how long ago the sent
// total last grew (as the transport says when it keeps track; else as of the
// last measurement that saw it grow, and no earlier than the start of this
// run, before which nothing was seen), and a warning when the
// send queue grew at every step of the last few seconds (the uplink cannot
// keep up). The reporter is held weakly: its owner decides how long it lives.
#include <cstdint>
#include <deque>
#include <memory>
#include <stdexcept>

#include "Medley/Sources/Network/NetworkMonitorEvent.h"
#include "Medley/Sources/Network/NetworkTransportReporter.h"
#include "Medley/Sources/Stream/AsyncRunner.h"
#include "Platform/Concurrency/Actor.h"
#include "Platform/Concurrency/AsyncStreamWriterSlot.h"
#include "Platform/Concurrency/Task.h"

namespace medley {

class NetworkMonitor final : public platform::Actor,
                             public AsyncRunner,
                             public std::enable_shared_from_this<NetworkMonitor> {
 public:
  class Error : public std::runtime_error {
   public:
    enum class Kind { invalidState };  // the reporter is gone
    explicit Error(Kind kind) : std::runtime_error("the reporter is gone"), kind(kind) {}
    Kind kind;
  };

  // Time between two measurements.
  static constexpr platform::Nanos kTickInterval = 1'000'000'000;

  explicit NetworkMonitor(std::weak_ptr<NetworkTransportReporter> reporter,
                          std::shared_ptr<platform::Runtime> runtime = platform::Runtime::shared());
  ~NetworkMonitor() override;

  // A new sequence of events (unbounded); the one handed out before ends.
  // One reader at a time: the last one to ask gets the events.
  platform::Async<platform::AsyncStream<NetworkMonitorEvent>> event();

  platform::Async<bool> isRunning() override;
  // The first measurement comes one second later.
  platform::Async<void> startRunning() override;
  // Ends the measuring task and the reader's sequence. Totals, rates and the
  // queue window are kept for the next start.
  platform::Async<void> stopRunning() override;

 private:
  static platform::Async<void> tickLoop(std::weak_ptr<NetworkMonitor> weak);
  platform::Async<void> tick();
  platform::Async<NetworkMonitorEvent> measure();

  bool isRunning_ = false;
  platform::TaskHandle<void> timer_;
  const size_t measureInterval_ = 3;
  int64_t currentBytesInPerSecond_ = 0;
  int64_t currentBytesOutPerSecond_ = 0;
  int64_t previousTotalBytesIn_ = 0;
  int64_t previousTotalBytesOut_ = 0;
  platform::Nanos outputAt_ = 0;
  std::deque<int64_t> previousQueueBytesOut_;
  platform::AsyncStreamWriterSlot<NetworkMonitorEvent> continuation_{platform::BufferingPolicy::unbounded()};
  std::weak_ptr<NetworkTransportReporter> reporter_;
  bool failing_ = false;
};

}  // namespace medley
