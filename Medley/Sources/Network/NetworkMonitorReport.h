#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "Platform/Time/HostClock.h"

namespace medley {

// One measurement of a transport, in bytes; the per-second figures are the
// differences to the measurement before.
struct NetworkMonitorReport {
  int64_t totalBytesIn = 0;
  int64_t totalBytesOut = 0;
  int64_t currentQueueBytesOut = 0;
  int64_t currentBytesInPerSecond = 0;
  int64_t currentBytesOutPerSecond = 0;
  // How long before the measurement the sent total last grew; empty: unknown.
  std::optional<platform::Nanos> nanosSinceOutput;

  std::string debugDescription() const;

  friend bool operator==(const NetworkMonitorReport&, const NetworkMonitorReport&) = default;
};

}  // namespace medley
