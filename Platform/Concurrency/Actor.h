#pragma once
// An actor: state touched only on its own serial queue. Each method that touches
// it starts with `co_await hop();` and is reentrant at its suspension points:
// while it awaits something else, other methods of the actor run. After such an
// await the method is back on the actor's queue.
//
//   class Counter : public Actor, public std::enable_shared_from_this<Counter> {
//    public:
//     using Actor::Actor;
//     Async<int> increment() { co_await hop(); co_return ++n_; }
//    private:
//     int n_ = 0;
//   };
#include <memory>
#include <string>

#include "Platform/Concurrency/Async.h"

namespace platform {

class Actor {
 public:
  explicit Actor(std::shared_ptr<SerialQueue> queue) : queue_(std::move(queue)) {}
  Actor(std::string label, std::shared_ptr<Runtime> runtime) : queue_(SerialQueue::make(std::move(label), runtime)) {}
  virtual ~Actor() = default;

  const std::shared_ptr<SerialQueue>& queue() const { return queue_; }
  // Moves the calling coroutine onto the actor's queue.
  detail::HopAwaiter hop() const { return platform::hop(queue_); }
  // True when called from the actor's queue.
  bool isIsolated() const { return queue_->isCurrent(); }

 private:
  std::shared_ptr<SerialQueue> queue_;
};

// The main actor's executor: the queue run by the main thread.
inline std::shared_ptr<SerialQueue> mainActor(const std::shared_ptr<Runtime>& runtime = Runtime::shared()) {
  return runtime->mainQueue();
}

}  // namespace platform
