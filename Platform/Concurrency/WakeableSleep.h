#pragma once
// A sleep that can be ended early: a task sleeps until a host time of its
// executor's runtime (or without limit), until someone calls wake(), or until
// it is cancelled (CancellationError), whichever comes first. A wake while
// nobody sleeps is kept for the next sleep, which then returns at once, so a
// wake just before the sleep begins is not lost.
//
//   WakeableSleep alarm;
//   co_await alarm.until(deadline);   // elsewhere: alarm.wake();
#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "Platform/Concurrency/WaitNode.h"

namespace platform {

class WakeableSleep {
  struct Sleeper {
    std::weak_ptr<detail::WaitNode<void>> node;
    // Its timer, cancelled by a wake so that it costs no firing.
    std::shared_ptr<Runtime> runtime;
    std::optional<Runtime::TimerId> timer;
  };
  struct State {
    std::mutex mutex;
    std::vector<Sleeper> sleepers;
    bool wakePending = false;
  };

 public:
  class Awaiter {
   public:
    Awaiter(std::shared_ptr<State> state, std::optional<Nanos> when) : state_(std::move(state)), when_(when) {}
    bool await_ready() const noexcept { return false; }
    template <detail::TaskPromise P>
    bool await_suspend(std::coroutine_handle<P> h) {
      auto& p = h.promise();
      if (p.cancellation && p.cancellation->isCancelled()) {
        cancelledEarly_ = true;
        return false;
      }
      auto node = detail::WaitNode<void>::make(h);
      {
        std::lock_guard lock(state_->mutex);
        if (state_->wakePending) {
          state_->wakePending = false;
          return false;
        }
        std::erase_if(state_->sleepers, [](const Sleeper& s) { return s.node.expired(); });
        state_->sleepers.push_back(Sleeper{node, nullptr, std::nullopt});
      }
      node_ = node;
      std::shared_ptr<Runtime> runtime = p.executor->runtime();
      std::optional<Runtime::TimerId> timer;
      if (when_) {
        timer = runtime->postHandOffAt(*when_, [node] { node->resolve(); });
        std::unique_lock lock(state_->mutex);
        if (node->isResolved()) {
          // Woken meanwhile.
          lock.unlock();
          runtime->cancel(*timer);
        } else {
          for (auto& sleeper : state_->sleepers) {
            if (sleeper.node.lock() != node) continue;
            sleeper.runtime = runtime;
            sleeper.timer = timer;
          }
        }
      }
      node->interruptOnCancel([weak = std::weak_ptr<detail::WaitNode<void>>(node), runtime, timer] {
        auto n = weak.lock();
        if (n && n->fail(std::make_exception_ptr(CancellationError())) && timer) runtime->cancel(*timer);
      });
      return true;
    }
    void await_resume() {
      if (cancelledEarly_) throw CancellationError();
      if (node_) node_->take();
    }

   private:
    std::shared_ptr<State> state_;
    std::optional<Nanos> when_;
    bool cancelledEarly_ = false;
    std::shared_ptr<detail::WaitNode<void>> node_;
  };

  // `when`: a host time of the sleeping task's runtime; none sleeps until woken.
  Awaiter until(std::optional<Nanos> when) { return Awaiter(state_, when); }

  // Ends the sleeps under way, or the next one at once when none is.
  void wake() {
    std::vector<Sleeper> sleepers;
    {
      std::lock_guard lock(state_->mutex);
      sleepers = std::exchange(state_->sleepers, {});
      const bool anyAsleep = std::any_of(sleepers.begin(), sleepers.end(), [](const Sleeper& s) {
        auto node = s.node.lock();
        return node && !node->isResolved();
      });
      if (!anyAsleep) {
        state_->wakePending = true;
        return;
      }
    }
    for (const auto& sleeper : sleepers) {
      auto node = sleeper.node.lock();
      if (node && node->resolve() && sleeper.timer) sleeper.runtime->cancel(*sleeper.timer);
    }
  }

 private:
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace platform
