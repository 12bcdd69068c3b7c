#pragma once
#include <cstdint>
#include <string>

namespace medley {

// One measurement of a transport, in bytes; the per-second figures are the
// differences to the measurement before.
struct NetworkMonitorReport {
  int64_t totalBytesIn = 0;
  int64_t totalBytesOut = 0;
  int64_t currentQueueBytesOut = 0;
  int64_t currentBytesInPerSecond = 0;
  int64_t currentBytesOutPerSecond = 0;

  std::string debugDescription() const;

  friend bool operator==(const NetworkMonitorReport&, const NetworkMonitorReport&) = default;
};

}  // namespace medley
