#pragma once
// The transport that a NetworkMonitor measures. Conformers are actors: both
// calls run on the conformer's own queue, and callers await them.
#include <memory>

#include "Medley/Sources/Network/NetworkTransportReport.h"
#include "Platform/Concurrency/Async.h"

namespace medley {

class NetworkMonitor;

class NetworkTransportReporter {
 public:
  virtual ~NetworkTransportReporter() = default;
  // A new monitor bound (weakly) to this reporter, not running.
  virtual platform::Async<std::shared_ptr<NetworkMonitor>> makeNetworkMonitor() = 0;
  // The transport's queued outgoing bytes and running byte totals, as they stand now.
  virtual platform::Async<NetworkTransportReport> makeNetworkTransportReport() = 0;
};

}  // namespace medley
