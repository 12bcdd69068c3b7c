#pragma once
// Async<T>: the return type of asynchronous functions. Lazily started: the body
// runs when the Async is awaited (or spawned as a task). The awaiting coroutine
// lends it its executor and its task's cancellation state; errors propagate to
// the awaiter. When the child finishes on another executor than the awaiter's
// (it hopped to an actor), the awaiter is resumed on its own executor.
//
// Compiler note (g++ 12): a lambda that copies a value with a destructor (a
// shared_ptr, a string, a handle...), or a braced aggregate holding one, must not
// be created inside a statement that contains co_await: g++ 12 destroys such a
// temporary twice. Make it in a statement of its own and move it in, or pass the
// values as arguments (spawn and withDeadline take arguments after the callable):
//
//   co_await withDeadline(d, [conn] { return conn->close(); });        // broken
//   auto close = [conn] { return conn->close(); };                     // fine
//   co_await withDeadline(d, std::move(close));
//   co_await withDeadline(d, [](auto c) { return c->close(); }, conn); // fine
// Lambdas capturing only by reference ([&]) or plain values (ints, raw pointers)
// are not affected, nor are temporaries made by a constructor call.
#include <atomic>
#include <coroutine>
#include <exception>
#include <memory>
#include <type_traits>
#include <utility>
#include <variant>

#include "Platform/Concurrency/ConcurrencyErrors.h"
#include "Platform/Concurrency/TaskContext.h"

namespace platform {

template <class T = void>
class Async;

namespace detail {

// Result slot of a coroutine or a wait: empty, a value or an error.
template <class T>
class ResultBox {
 public:
  void setValue(T v) { r_.template emplace<1>(std::move(v)); }
  void setException(std::exception_ptr e) { r_.template emplace<2>(std::move(e)); }
  bool hasResult() const { return r_.index() != 0; }
  T take() {
    if (r_.index() == 2) std::rethrow_exception(std::get<2>(r_));
    return std::move(std::get<1>(r_));
  }
  const T& peek() const {
    if (r_.index() == 2) std::rethrow_exception(std::get<2>(r_));
    return std::get<1>(r_);
  }

 private:
  std::variant<std::monostate, T, std::exception_ptr> r_;
};

template <>
class ResultBox<void> {
 public:
  void setValue() { done_ = true; }
  void setException(std::exception_ptr e) {
    error_ = std::move(e);
    done_ = true;
  }
  bool hasResult() const { return done_; }
  void take() {
    if (error_) std::rethrow_exception(error_);
  }
  void peek() const {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  bool done_ = false;
  std::exception_ptr error_;
};

template <class T>
struct AsyncPromiseResult {
  ResultBox<T> result;
  void return_value(T v) { result.setValue(std::move(v)); }
};

template <>
struct AsyncPromiseResult<void> {
  ResultBox<void> result;
  void return_void() { result.setValue(); }
};

template <class>
struct IsAsync : std::false_type {};
template <class T>
struct IsAsync<Async<T>> : std::true_type {
  using ValueType = T;
};

}  // namespace detail

template <class T>
class [[nodiscard]] Async {
 public:
  using ValueType = T;

  struct promise_type : detail::PromiseBase, detail::AsyncPromiseResult<T> {
    // The awaiter runs the child inline; whichever of the two gets past this first
    // decides who continues the parent: the awaiter (child finished before the
    // awaiter let go) or the child's end (the parent had suspended). No stack
    // grows however many children finish at once.
    enum Phase : int { kRunningInline, kParentSuspended, kFinished };
    std::atomic<int> phase{kRunningInline};
    std::coroutine_handle<> parent;
    std::shared_ptr<SerialQueue> parentExecutor;

    Async get_return_object() { return Async(std::coroutine_handle<promise_type>::from_promise(*this)); }
    std::suspend_always initial_suspend() noexcept { return {}; }

    struct FinalAwaiter {
      bool await_ready() const noexcept { return false; }
      std::coroutine_handle<> await_suspend(std::coroutine_handle<promise_type> h) noexcept {
        auto& p = h.promise();
        if (!p.parent) return std::noop_coroutine();
        int expected = kRunningInline;
        if (p.phase.compare_exchange_strong(expected, kFinished, std::memory_order_acq_rel))
          return std::noop_coroutine();  // the awaiter goes on with the parent
        if (p.parentExecutor == p.executor) return p.parent;
        // From here on the parent may destroy this frame: only locals below.
        auto parent = p.parent;
        auto executor = p.parentExecutor;
        auto cancellation = p.cancellation;
        detail::scheduleResume(std::move(executor), parent, std::move(cancellation));
        return std::noop_coroutine();
      }
      void await_resume() const noexcept {}
    };
    FinalAwaiter final_suspend() noexcept { return {}; }
    void unhandled_exception() { this->result.setException(std::current_exception()); }
  };

  using Handle = std::coroutine_handle<promise_type>;

  Async() = default;
  Async(Async&& o) noexcept : h_(std::exchange(o.h_, {})) {}
  Async& operator=(Async&& o) noexcept {
    if (this != &o) {
      if (h_) h_.destroy();
      h_ = std::exchange(o.h_, {});
    }
    return *this;
  }
  Async(const Async&) = delete;
  Async& operator=(const Async&) = delete;
  ~Async() {
    if (h_) h_.destroy();
  }

  bool valid() const { return static_cast<bool>(h_); }

  // Owns the child frame while it runs; destroys it at the end of the co_await
  // expression, so what the child holds is released before the awaiter goes on.
  class Awaiter {
   public:
    explicit Awaiter(Handle h) : h_(h) {}
    Awaiter(Awaiter&& o) noexcept : h_(std::exchange(o.h_, {})) {}
    Awaiter(const Awaiter&) = delete;
    ~Awaiter() {
      if (h_) h_.destroy();
    }
    bool await_ready() const noexcept { return false; }
    template <detail::TaskPromise P>
    bool await_suspend(std::coroutine_handle<P> awaiting) noexcept {
      auto h = h_;
      auto& child = h.promise();
      auto& parent = awaiting.promise();
      child.executor = parent.executor;
      child.cancellation = parent.cancellation;
      child.parent = awaiting;
      child.parentExecutor = parent.executor;
      h.resume();
      // Suspend unless the child already finished. Once the parent is marked
      // suspended, the child may end (and resume the parent) on any thread.
      int expected = promise_type::kRunningInline;
      return child.phase.compare_exchange_strong(expected, promise_type::kParentSuspended,
                                                 std::memory_order_acq_rel);
    }
    T await_resume() { return h_.promise().result.take(); }

   private:
    Handle h_;
  };

  Awaiter operator co_await() && {
    if (!h_) throw std::logic_error("awaiting an empty Async");
    return Awaiter(std::exchange(h_, {}));
  }

  // For the task machinery: hands the frame over.
  Handle release() { return std::exchange(h_, {}); }

 private:
  explicit Async(Handle h) : h_(h) {}
  Handle h_;
};

namespace detail {

class HopAwaiter {
 public:
  explicit HopAwaiter(std::shared_ptr<SerialQueue> target) : target_(std::move(target)) {}
  bool await_ready() const noexcept { return false; }
  template <TaskPromise P>
  bool await_suspend(std::coroutine_handle<P> h) {
    auto& p = h.promise();
    auto target = target_;
    p.executor = target;
    if (target->isCurrent()) return false;
    scheduleResume(std::move(target), h, p.cancellation);
    return true;
  }
  void await_resume() const noexcept {}

 private:
  std::shared_ptr<SerialQueue> target_;
};

// An awaitable that reads something from the awaiting frame without suspending.
template <class F>
class PeekAwaiter {
 public:
  explicit PeekAwaiter(F f) : f_(std::move(f)) {}
  bool await_ready() const noexcept { return false; }
  template <TaskPromise P>
  bool await_suspend(std::coroutine_handle<P> h) {
    value_ = f_(static_cast<PromiseBase&>(h.promise()));
    return false;
  }
  auto await_resume() { return std::move(value_); }

 private:
  F f_;
  std::invoke_result_t<F, PromiseBase&> value_{};
};

class YieldAwaiter {
 public:
  bool await_ready() const noexcept { return false; }
  template <TaskPromise P>
  void await_suspend(std::coroutine_handle<P> h) {
    auto& p = h.promise();
    scheduleResume(p.executor, h, p.cancellation);
  }
  void await_resume() const noexcept {}
};

}  // namespace detail

// Continues on `queue`, which becomes the coroutine's executor. An actor method
// starts with `co_await hop(queue())`. Does not suspend when already there.
inline detail::HopAwaiter hop(std::shared_ptr<SerialQueue> queue) { return detail::HopAwaiter(std::move(queue)); }
inline detail::HopAwaiter resumeOn(std::shared_ptr<SerialQueue> queue) { return hop(std::move(queue)); }

// The executor the coroutine runs on.
inline auto currentExecutor() {
  return detail::PeekAwaiter([](detail::PromiseBase& p) { return p.executor; });
}
// The cancellation state of the running task.
inline auto currentCancellation() {
  return detail::PeekAwaiter([](detail::PromiseBase& p) { return p.cancellation; });
}
// Whether the running task has been cancelled.
inline auto isCancelled() {
  return detail::PeekAwaiter(
      [](detail::PromiseBase& p) { return p.cancellation != nullptr && p.cancellation->isCancelled(); });
}
// Lets other jobs of the executor run before continuing.
inline detail::YieldAwaiter yieldNow() { return {}; }

}  // namespace platform
