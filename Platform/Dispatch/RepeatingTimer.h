#pragma once
// A repeating timer on a queue: first fire after `firstDelay`, then every
// `interval` on a fixed grid (a late fire does not shift the ones after it).
// Ticks that fall due while the previous call still waits for the queue merge
// into that call. Cancelled by cancel() or by destruction.
#include <functional>
#include <memory>
#include <mutex>

#include "Platform/Dispatch/SerialQueue.h"

namespace platform {

class RepeatingTimer {
 public:
  RepeatingTimer(std::shared_ptr<SerialQueue> queue, Nanos firstDelay, Nanos interval, Job handler);
  ~RepeatingTimer();
  RepeatingTimer(const RepeatingTimer&) = delete;
  RepeatingTimer& operator=(const RepeatingTimer&) = delete;

  static std::unique_ptr<RepeatingTimer> start(std::shared_ptr<SerialQueue> queue, Nanos firstDelay, Nanos interval,
                                               Job handler) {
    auto t = std::make_unique<RepeatingTimer>(std::move(queue), firstDelay, interval, std::move(handler));
    t->resume();
    return t;
  }

  void resume();
  void cancel();
  bool isCancelled() const;

 private:
  struct State;
  static void arm(const std::shared_ptr<State>& s, Nanos when);
  std::shared_ptr<State> state_;
};

// A handler that calls `fn(owner)` while the owner lives and does nothing after.
template <class T, class F>
Job weakHandler(const std::shared_ptr<T>& owner, F fn) {
  return [weak = std::weak_ptr<T>(owner), fn = std::move(fn)]() {
    if (auto strong = weak.lock()) fn(*strong);
  };
}

}  // namespace platform
