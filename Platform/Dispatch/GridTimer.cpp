#include "Platform/Dispatch/GridTimer.h"

#include <algorithm>
#include <mutex>

namespace platform {

struct GridTimer::State {
  std::shared_ptr<SerialQueue> queue;
  Nanos origin;
  Nanos step;
  Job handler;
  // Taken by the queue's calls and by a destruction on another thread.
  std::mutex mutex;
  bool cancelled = false;
  std::optional<int64_t> armedIndex;
  std::optional<int64_t> lastRun;
  Runtime::TimerId timerId = 0;
  // Tells a call posted for an instant that was re-armed since from the current one.
  uint64_t generation = 0;
};

GridTimer::GridTimer(std::shared_ptr<SerialQueue> queue, Nanos origin, Nanos step, Job handler)
    : state_(std::make_shared<State>()) {
  state_->queue = std::move(queue);
  state_->origin = origin;
  state_->step = std::max<Nanos>(step, 1);
  state_->handler = std::move(handler);
}

GridTimer::~GridTimer() { cancel(); }

void GridTimer::armBy(Nanos deadline) {
  State& s = *state_;
  const auto& runtime = s.queue->runtime();
  std::lock_guard lock(s.mutex);
  if (s.cancelled) return;
  const Nanos from = std::max(deadline, s.queue->now()) - s.origin;
  int64_t index = from <= 0 ? 0 : (from + s.step - 1) / s.step;
  if (s.lastRun) index = std::max(index, *s.lastRun + 1);
  if (s.armedIndex && *s.armedIndex <= index) return;
  if (s.timerId) runtime->cancel(s.timerId);
  const uint64_t generation = ++s.generation;
  s.armedIndex = index;
  std::weak_ptr<State> weak = state_;
  s.timerId = runtime->postHandOffAt(s.origin + index * s.step, [weak, generation, index] {
    auto st = weak.lock();
    if (!st) return;
    st->queue->async([weak, generation, index] {
      auto st = weak.lock();
      if (!st) return;
      {
        std::lock_guard lock(st->mutex);
        if (st->cancelled || st->generation != generation) return;
        st->armedIndex.reset();
        st->timerId = 0;
        st->lastRun = index;
      }
      st->handler();
    });
  });
}

void GridTimer::cancel() {
  Runtime::TimerId id;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->cancelled) return;
    state_->cancelled = true;
    state_->armedIndex.reset();
    id = state_->timerId;
  }
  if (id) state_->queue->runtime()->cancel(id);
}

std::optional<Nanos> GridTimer::armedAt() const {
  std::lock_guard lock(state_->mutex);
  if (!state_->armedIndex) return std::nullopt;
  return state_->origin + *state_->armedIndex * state_->step;
}

}  // namespace platform
