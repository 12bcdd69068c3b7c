#pragma once
// Runs asynchronous work on virtual time without moving the clock.
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "Platform/Concurrency/Concurrency.h"
#include "Platform/Dispatch/VirtualRuntime.h"

namespace medleytest {

// Runs `work` to its end with the jobs that are due now; throws when it would
// have to wait for the clock or for another thread.
template <class T>
T runNow(const std::shared_ptr<platform::VirtualRuntime>& rt, platform::Async<T> work) {
  auto task = platform::spawn(rt->globalQueue(), std::move(work));
  rt->runUntilIdle();
  if (!task.isFinished()) throw std::logic_error("work did not finish without the clock moving");
  return task.result();
}

// Collects what a sequence yields, on a task of its own, until it ends or the
// collector goes (which cancels the read, so no task is left suspended).
template <class T>
class Collector {
 public:
  Collector(const std::shared_ptr<platform::VirtualRuntime>& rt, platform::AsyncStream<T> stream)
      : rt_(rt), state_(std::make_shared<State>()) {
    task_ = platform::spawn(
        rt->globalQueue(),
        [](platform::AsyncStream<T> s, std::shared_ptr<State> state) -> platform::Async<void> {
          while (auto v = co_await s.next()) state->values.push_back(std::move(*v));
          state->ended = true;
        },
        std::move(stream), state_);
  }
  Collector(const Collector&) = delete;
  Collector& operator=(const Collector&) = delete;
  ~Collector() {
    task_.cancel();
    rt_->runUntilIdle();
  }

  const std::vector<T>& values() const { return state_->values; }
  bool ended() const { return state_->ended; }

 private:
  struct State {
    std::vector<T> values;
    bool ended = false;
  };
  std::shared_ptr<platform::VirtualRuntime> rt_;
  std::shared_ptr<State> state_;
  platform::TaskHandle<void> task_;
};

}  // namespace medleytest
