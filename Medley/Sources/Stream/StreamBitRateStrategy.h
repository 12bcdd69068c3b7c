#pragma once
// A policy that reacts to network events by changing a stream's settings.
// Conformers are actors; a stream hands them its events one at a time.
#include <memory>

#include "Medley/Sources/Network/NetworkMonitorEvent.h"
#include "Platform/Concurrency/Async.h"

namespace medley {

class StreamConvertible;

class StreamBitRateStrategy {
 public:
  virtual ~StreamBitRateStrategy() = default;
  // Bits per second.
  virtual int mamimumVideoBitRate() const = 0;
  // Bits per second.
  virtual int mamimumAudioBitRate() const = 0;
  virtual platform::Async<void> adjustBitRate(NetworkMonitorEvent event, std::shared_ptr<StreamConvertible> stream) = 0;
};

}  // namespace medley
