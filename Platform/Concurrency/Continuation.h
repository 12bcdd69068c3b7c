#pragma once
// A checked one-shot continuation: suspends the awaiting task until someone
// resumes it, once. The first resume wins; later ones return false and do
// nothing, so answers, time-outs and closes may race to resume one wait. When
// every copy is destroyed without a resume, the waiter fails with
// ContinuationDroppedError instead of hanging. Cancelling the waiting task does
// not end the wait. The waiter resumes on its own executor.
//
//   auto r = co_await withContinuation<Response>([&](Continuation<Response> c) {
//     operations_.emplace(id, std::move(c));
//   });
#include <exception>
#include <memory>
#include <type_traits>

#include "Platform/Concurrency/WaitNode.h"

namespace platform {

template <class T = void>
class Continuation {
 public:
  Continuation() = default;

  template <class U = T>
    requires(!std::is_void_v<U>)
  bool resume(U value) const {
    return core_ && core_->node->resolve(std::move(value));
  }
  bool resume() const
    requires std::is_void_v<T>
  {
    return core_ && core_->node->resolve();
  }
  bool resume(std::exception_ptr error) const { return core_ && core_->node->fail(std::move(error)); }
  template <class E>
  bool resumeThrowing(E error) const {
    return resume(std::make_exception_ptr(std::move(error)));
  }
  bool resumeThrowing(std::exception_ptr error) const { return resume(std::move(error)); }

  // True once someone resumed it (or it was dropped).
  bool isResumed() const { return !core_ || core_->node->isResolved(); }
  explicit operator bool() const { return static_cast<bool>(core_); }

  struct Core {
    explicit Core(std::shared_ptr<detail::WaitNode<T>> n) : node(std::move(n)) {}
    ~Core() { node->fail(std::make_exception_ptr(ContinuationDroppedError())); }
    std::shared_ptr<detail::WaitNode<T>> node;
  };
  explicit Continuation(std::shared_ptr<Core> core) : core_(std::move(core)) {}

 private:
  std::shared_ptr<Core> core_;
};

namespace detail {

template <class T, class F>
class ContinuationAwaiter {
 public:
  explicit ContinuationAwaiter(F f) : f_(std::move(f)) {}
  bool await_ready() const noexcept { return false; }
  template <TaskPromise P>
  void await_suspend(std::coroutine_handle<P> h) {
    auto node = WaitNode<T>::make(h);
    node_ = node;
    // The frame may be resumed on another thread as soon as the continuation is
    // out; keep the setup code and everything it touches off the frame.
    F f = std::move(f_);
    // Held across the call so that a throwing setup reports its own error, not a drop.
    Continuation<T> held(std::make_shared<typename Continuation<T>::Core>(node));
    try {
      f(held);
    } catch (...) {
      held.resume(std::current_exception());
    }
  }
  T await_resume() { return node_->take(); }

 private:
  F f_;
  std::shared_ptr<WaitNode<T>> node_;
};

}  // namespace detail

template <class T = void, class F>
detail::ContinuationAwaiter<T, F> withContinuation(F setup) {
  return detail::ContinuationAwaiter<T, F>(std::move(setup));
}

}  // namespace platform
