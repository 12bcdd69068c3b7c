#pragma once
// Sleeps on the runtime of the current executor (virtual time in tests).
// Cancelling the task interrupts the sleep with CancellationError, also when it
// was cancelled before the sleep began.
#include "Platform/Concurrency/WaitNode.h"

namespace platform {
namespace detail {

class SleepAwaiter {
 public:
  SleepAwaiter(Nanos value, bool absolute) : value_(value), absolute_(absolute) {}
  bool await_ready() const noexcept { return false; }
  template <TaskPromise P>
  bool await_suspend(std::coroutine_handle<P> h) {
    auto& p = h.promise();
    if (p.cancellation && p.cancellation->isCancelled()) {
      cancelledEarly_ = true;
      return false;
    }
    auto node = WaitNode<void>::make(h);
    node_ = node;
    std::shared_ptr<Runtime> runtime = p.executor->runtime();
    Nanos when = absolute_ ? value_ : runtime->now() + (value_ > 0 ? value_ : 0);
    auto timer = runtime->postHandOffAt(when, [node] { node->resolve(); });
    node->interruptOnCancel([weak = std::weak_ptr<WaitNode<void>>(node), runtime, timer] {
      auto n = weak.lock();
      if (n && n->fail(std::make_exception_ptr(CancellationError()))) runtime->cancel(timer);
    });
    return true;
  }
  void await_resume() {
    if (cancelledEarly_) throw CancellationError();
    node_->take();
  }

 private:
  Nanos value_;
  bool absolute_;
  bool cancelledEarly_ = false;
  std::shared_ptr<WaitNode<void>> node_;
};

}  // namespace detail

inline detail::SleepAwaiter sleepFor(Nanos duration) { return detail::SleepAwaiter(duration, false); }
// `when` is a host time of the executor's runtime.
inline detail::SleepAwaiter sleepUntil(Nanos when) { return detail::SleepAwaiter(when, true); }

}  // namespace platform
