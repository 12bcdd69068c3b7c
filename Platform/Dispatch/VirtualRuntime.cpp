#include "Platform/Dispatch/VirtualRuntime.h"

#include <stdexcept>

namespace platform {

VirtualRuntime::VirtualRuntime(Nanos start) : now_(start) {}

Nanos VirtualRuntime::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

void VirtualRuntime::post(Job job) {
  std::lock_guard lock(mutex_);
  ready_.push_back(std::move(job));
}

Runtime::TimerId VirtualRuntime::postAt(Nanos when, Job job) {
  std::lock_guard lock(mutex_);
  TimerId id = nextId_++;
  timers_.emplace(std::make_pair(when, id), std::move(job));
  timerIndex_.emplace(id, when);
  return id;
}

bool VirtualRuntime::cancel(TimerId id) {
  std::lock_guard lock(mutex_);
  auto it = timerIndex_.find(id);
  if (it == timerIndex_.end()) return false;
  timers_.erase({it->second, id});
  timerIndex_.erase(it);
  return true;
}

bool VirtualRuntime::runOne() {
  Job job;
  {
    std::lock_guard lock(mutex_);
    if (ready_.empty()) return false;
    job = std::move(ready_.front());
    ready_.pop_front();
  }
  job();
  return true;
}

void VirtualRuntime::runUntilIdle() {
  while (runOne()) {
  }
}

void VirtualRuntime::runUntil(const std::function<bool()>& done) {
  while (!done()) {
    if (!runOne()) throw std::logic_error("virtual runtime is idle before the awaited job ran");
  }
}

void VirtualRuntime::advanceTo(Nanos target) {
  runUntilIdle();
  for (;;) {
    Job job;
    {
      std::lock_guard lock(mutex_);
      if (timers_.empty() || timers_.begin()->first.first > target) break;
      auto it = timers_.begin();
      if (it->first.first > now_) now_ = it->first.first;
      job = std::move(it->second);
      timerIndex_.erase(it->first.second);
      timers_.erase(it);
    }
    job();
    runUntilIdle();
  }
  {
    std::lock_guard lock(mutex_);
    if (target > now_) now_ = target;
  }
  runUntilIdle();
}

void VirtualRuntime::advance(Nanos d) { advanceTo(now() + d); }

size_t VirtualRuntime::pendingTimers() const {
  std::lock_guard lock(mutex_);
  return timers_.size();
}

std::optional<Nanos> VirtualRuntime::nextTimerTime() const {
  std::lock_guard lock(mutex_);
  if (timers_.empty()) return std::nullopt;
  return timers_.begin()->first.first;
}

}  // namespace platform
