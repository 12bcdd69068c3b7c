#include "Platform/Dispatch/RepeatingTimer.h"

namespace platform {

struct RepeatingTimer::State {
  std::shared_ptr<SerialQueue> queue;
  Nanos firstDelay;
  Nanos interval;
  Job handler;
  std::mutex mutex;
  bool started = false;
  bool cancelled = false;
  // A call is waiting on the queue: later ticks merge into it, so a busy queue
  // neither piles up jobs nor runs a burst of calls once it is free.
  bool callQueued = false;
  Runtime::TimerId timerId = 0;
};

RepeatingTimer::RepeatingTimer(std::shared_ptr<SerialQueue> queue, Nanos firstDelay, Nanos interval, Job handler)
    : state_(std::make_shared<State>()) {
  state_->queue = std::move(queue);
  state_->firstDelay = firstDelay;
  state_->interval = interval;
  state_->handler = std::move(handler);
}

RepeatingTimer::~RepeatingTimer() { cancel(); }

void RepeatingTimer::resume() {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->started || state_->cancelled) return;
    state_->started = true;
  }
  arm(state_, state_->queue->now() + state_->firstDelay);
}

void RepeatingTimer::arm(const std::shared_ptr<State>& s, Nanos when) {
  std::weak_ptr<State> weak = s;
  auto& runtime = s->queue->runtime();
  std::lock_guard lock(s->mutex);
  if (s->cancelled) return;
  s->timerId = runtime->postHandOffAt(when, [weak, when] {
    auto st = weak.lock();
    if (!st) return;
    bool post;
    {
      std::lock_guard lock(st->mutex);
      if (st->cancelled) return;
      post = !st->callQueued;
      st->callQueued = true;
    }
    if (post)
      st->queue->async([st] {
        {
          std::lock_guard lock(st->mutex);
          st->callQueued = false;
          if (st->cancelled) return;
        }
        st->handler();
      });
    if (st->interval > 0) arm(st, when + st->interval);
  });
}

void RepeatingTimer::cancel() {
  Runtime::TimerId id;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->cancelled) return;
    state_->cancelled = true;
    id = state_->timerId;
  }
  if (id) state_->queue->runtime()->cancel(id);
}

bool RepeatingTimer::isCancelled() const {
  std::lock_guard lock(state_->mutex);
  return state_->cancelled;
}

}  // namespace platform
