#pragma once
#include <cstdint>
#include <optional>

#include "Platform/Time/HostClock.h"

namespace medley {

// What a transport reports about itself, in bytes.
struct NetworkTransportReport {
  // Handed to the transport and not yet sent.
  int64_t queueBytesOut = 0;
  // Received since the transport was made.
  int64_t totalBytesIn = 0;
  // Sent since the transport was made.
  int64_t totalBytesOut = 0;
  // When totalBytesOut last grew (or the connection began, if it never did),
  // as a host time of the transport's runtime; empty: it does not keep track.
  std::optional<platform::Nanos> outputAt;

  friend bool operator==(const NetworkTransportReport&, const NetworkTransportReport&) = default;
};

}  // namespace medley
