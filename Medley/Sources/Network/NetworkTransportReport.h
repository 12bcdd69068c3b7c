#pragma once
#include <cstdint>

namespace medley {

// What a transport reports about itself, in bytes.
struct NetworkTransportReport {
  // Handed to the transport and not yet sent.
  int64_t queueBytesOut = 0;
  // Received since the transport was made.
  int64_t totalBytesIn = 0;
  // Sent since the transport was made.
  int64_t totalBytesOut = 0;

  friend bool operator==(const NetworkTransportReport&, const NetworkTransportReport&) = default;
};

}  // namespace medley
