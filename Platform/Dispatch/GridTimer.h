#pragma once
// A call on a queue at an instant of a fixed grid (origin + k × step, k ≥ 0),
// made only when asked for: armBy(deadline) asks for the first instant at or
// after the deadline. An instant already armed at or before that one stays, so a
// deadline that keeps moving later (each frame pushing a time-out back) costs no
// timer work; the handler, called at the armed instant, asks again for whatever
// is due then. An instant whose call has run is never armed again. Used from its
// queue only; cancelled by cancel() or by destruction.
#include <memory>
#include <optional>

#include "Platform/Dispatch/SerialQueue.h"

namespace platform {

class GridTimer {
 public:
  GridTimer(std::shared_ptr<SerialQueue> queue, Nanos origin, Nanos step, Job handler);
  ~GridTimer();
  GridTimer(const GridTimer&) = delete;
  GridTimer& operator=(const GridTimer&) = delete;

  // Arms the first grid instant at or after `deadline` (and not before now)
  // unless an instant at or before it is armed already.
  void armBy(Nanos deadline);
  void cancel();
  std::optional<Nanos> armedAt() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace platform
