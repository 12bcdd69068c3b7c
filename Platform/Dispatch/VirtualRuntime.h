#pragma once
// Virtual time for tests: every job and timer runs on the thread that calls
// runUntilIdle() or advance(), in order, and time moves only when told to.
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>

#include "Platform/Dispatch/Runtime.h"

namespace platform {

class VirtualRuntime final : public Runtime {
 public:
  explicit VirtualRuntime(Nanos start = seconds(1000));

  static std::shared_ptr<VirtualRuntime> make(Nanos start = seconds(1000)) {
    return std::make_shared<VirtualRuntime>(start);
  }

  Nanos now() const override;
  void post(Job job) override;
  void postMain(Job job) override { post(std::move(job)); }
  TimerId postAt(Nanos when, Job job) override;
  bool cancel(TimerId id) override;
  bool isVirtual() const override { return true; }
  void runUntil(const std::function<bool()>& done) override;

  // Runs posted jobs (not timers in the future) until none is left.
  void runUntilIdle();
  // Moves time forward by `d`, firing every timer due on the way in time order.
  void advance(Nanos d);
  void advanceTo(Nanos t);
  // Pending timers (for tests of cancellation).
  size_t pendingTimers() const;
  // Due time of the earliest pending timer, if any.
  std::optional<Nanos> nextTimerTime() const;

 private:
  bool runOne();

  mutable std::mutex mutex_;
  Nanos now_;
  std::deque<Job> ready_;
  // (when, id) ordered; id keeps FIFO among equal times.
  std::map<std::pair<Nanos, TimerId>, Job> timers_;
  std::map<TimerId, Nanos> timerIndex_;
  TimerId nextId_ = 1;
};

}  // namespace platform
