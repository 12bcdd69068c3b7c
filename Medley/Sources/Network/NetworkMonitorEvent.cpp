#include "Medley/Sources/Network/NetworkMonitorEvent.h"

#include "Medley/Sources/Extension/DebugDescription.h"

namespace medley {

std::string NetworkMonitorReport::debugDescription() const {
  return Mirror::make("NetworkMonitorReport", {{"totalBytesIn", totalBytesIn},
                                               {"totalBytesOut", totalBytesOut},
                                               {"currentQueueBytesOut", currentQueueBytesOut},
                                               {"currentBytesInPerSecond", currentBytesInPerSecond},
                                               {"currentBytesOutPerSecond", currentBytesOutPerSecond},
                                               {"nanosSinceOutput", nanosSinceOutput}})
      .debugDescription();
}

std::string NetworkMonitorEvent::debugDescription() const {
  switch (kind_) {
    case Kind::status:
      return "status(" + report_->debugDescription() + ")";
    case Kind::publishInsufficientBWOccured:
      return "publishInsufficientBWOccured(" + report_->debugDescription() + ")";
    case Kind::reset:
      return "reset";
  }
  return "";
}

}  // namespace medley
