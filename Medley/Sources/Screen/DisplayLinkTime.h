#pragma once

namespace medley {

// One refresh that fired: its time and the time the next one is expected, in
// seconds of the host clock.
struct DisplayLinkTime {
  double timestamp = 0;
  double targetTimestamp = 0;

  friend bool operator==(const DisplayLinkTime&, const DisplayLinkTime&) = default;
};

}  // namespace medley
