#pragma once
// Unstructured tasks. spawn(executor, fn, args...) starts fn(args...) (an
// async function) at once as a job of `executor`, like `Task { }`: the callable
// and the arguments live in the task until its body has finished, so captures
// such as `self = shared_from_this()` keep the object alive while the task runs.
// A task does not inherit its spawner's cancellation. Dropping the handle
// detaches the task; it is never cancelled by that.
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

#include "Platform/Concurrency/WaitNode.h"

namespace platform {
namespace detail {

template <class T>
class TaskState {
 public:
  explicit TaskState(std::shared_ptr<CancellationState> c) : cancellation(std::move(c)) {}

  template <class... V>
  void complete(V&&... v) {
    finish([&] { box_.setValue(std::forward<V>(v)...); });
  }
  void fail(std::exception_ptr e) {
    finish([&] { box_.setException(std::move(e)); });
  }

  bool isFinished() const {
    std::lock_guard lock(mutex_);
    return finished_;
  }
  // Runs `fn` once the task has finished: at once (on this thread) when it has,
  // else on the thread that finishes it.
  void onComplete(std::function<void()> fn) {
    {
      std::lock_guard lock(mutex_);
      if (!finished_) {
        callbacks_.push_back(std::move(fn));
        return;
      }
    }
    fn();
  }
  // The result of a finished task (a copy; rethrows its error).
  auto get() const {
    std::lock_guard lock(mutex_);
    if (!finished_) throw std::logic_error("the task has not finished");
    if constexpr (std::is_void_v<T>)
      box_.peek();
    else
      return T(box_.peek());
  }

  const std::shared_ptr<CancellationState> cancellation;

 private:
  template <class F>
  void finish(F set) {
    std::vector<std::function<void()>> run;
    {
      std::lock_guard lock(mutex_);
      if (finished_) return;
      set();
      finished_ = true;
      run.swap(callbacks_);
    }
    for (auto& fn : run) fn();
  }

  mutable std::mutex mutex_;
  bool finished_ = false;
  ResultBox<T> box_;
  std::vector<std::function<void()>> callbacks_;
};

// The outermost frame of a task: runs the body and reports its end.
struct RootTask {
  struct promise_type : PromiseBase {
    RootTask get_return_object() { return RootTask{std::coroutine_handle<promise_type>::from_promise(*this)}; }
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_never final_suspend() noexcept { return {}; }
    void return_void() {}
    void unhandled_exception() noexcept { std::terminate(); }
  };
  std::coroutine_handle<promise_type> handle;
};

template <class T>
RootTask runRoot(std::shared_ptr<TaskState<T>> state, Async<T> body) {
  std::exception_ptr error;
  if constexpr (std::is_void_v<T>) {
    try {
      // Own statement: the body's frame (and what it holds) is gone before the
      // task reports its end.
      co_await std::move(body);
    } catch (...) {
      error = std::current_exception();
    }
    if (error)
      state->fail(error);
    else
      state->complete();
  } else {
    std::optional<T> value;
    try {
      value.emplace(co_await std::move(body));
    } catch (...) {
      error = std::current_exception();
    }
    if (error)
      state->fail(error);
    else
      state->complete(std::move(*value));
  }
}

template <class F, class... Args>
auto callBound(F f, Args... args) -> std::invoke_result_t<F&, Args&...> {
  co_return co_await std::invoke(f, args...);
}

}  // namespace detail

template <class T = void>
class TaskHandle {
 public:
  TaskHandle() = default;
  explicit TaskHandle(std::shared_ptr<detail::TaskState<T>> s) : state_(std::move(s)) {}

  // Sets the task's cancellation flag and interrupts its sleeps and stream waits.
  void cancel() const {
    if (state_) state_->cancellation->cancel();
  }
  bool isCancelled() const { return state_ && state_->cancellation->isCancelled(); }
  bool isFinished() const { return state_ && state_->isFinished(); }
  explicit operator bool() const { return static_cast<bool>(state_); }

  // Waits for the task's end and gives its result (rethrows its error). The wait
  // is not interrupted by cancelling the waiting task.
  Async<T> value() const { return join(state_); }

  // Runs `fn` once the task has finished (on the finishing thread, or now).
  void onComplete(std::function<void()> fn) const { state_->onComplete(std::move(fn)); }
  // The result of a finished task.
  auto result() const { return state_->get(); }
  const std::shared_ptr<CancellationState>& cancellationState() const { return state_->cancellation; }

  friend bool operator==(const TaskHandle& a, const TaskHandle& b) { return a.state_ == b.state_; }

 private:
  class JoinAwaiter {
   public:
    explicit JoinAwaiter(std::shared_ptr<detail::TaskState<T>> s) : state_(std::move(s)) {}
    bool await_ready() const { return state_->isFinished(); }
    template <detail::TaskPromise P>
    void await_suspend(std::coroutine_handle<P> h) {
      auto node = detail::WaitNode<void>::make(h);
      state_->onComplete([node] { node->resolve(); });
    }
    void await_resume() const noexcept {}

   private:
    std::shared_ptr<detail::TaskState<T>> state_;
  };

  static Async<T> join(std::shared_ptr<detail::TaskState<T>> s) {
    if (!s) throw std::logic_error("awaiting an empty task handle");
    co_await JoinAwaiter(s);
    if constexpr (std::is_void_v<T>)
      s->get();
    else
      co_return s->get();
  }

  std::shared_ptr<detail::TaskState<T>> state_;
};

namespace detail {

// Starts `body` as a task on `executor` with the given cancellation state.
template <class T>
TaskHandle<T> startTask(std::shared_ptr<SerialQueue> executor, std::shared_ptr<CancellationState> cancellation,
                        Async<T> body) {
  if (!executor) throw std::invalid_argument("spawn: no executor");
  auto state = std::make_shared<TaskState<T>>(std::move(cancellation));
  auto root = runRoot<T>(state, std::move(body));
  auto& p = root.handle.promise();
  p.executor = executor;
  p.cancellation = state->cancellation;
  scheduleResume(std::move(executor), root.handle, state->cancellation);
  return TaskHandle<T>(std::move(state));
}

}  // namespace detail

template <class T>
TaskHandle<T> spawn(std::shared_ptr<SerialQueue> executor, Async<T> body) {
  return detail::startTask<T>(std::move(executor), CancellationState::make(), std::move(body));
}

template <class F, class... Args>
  requires std::invocable<F&, Args&...> && detail::IsAsync<std::invoke_result_t<F&, Args&...>>::value
auto spawn(std::shared_ptr<SerialQueue> executor, F fn, Args... args) {
  using T = typename detail::IsAsync<std::invoke_result_t<F&, Args&...>>::ValueType;
  return spawn<T>(std::move(executor), detail::callBound(std::move(fn), std::move(args)...));
}

// A task that holds `owner` weakly until it starts and strongly while it runs:
// fn(owner) runs only if the owner still exists when the task begins. The
// result is empty (or the task does nothing) when it was gone.
template <class T, class F>
  requires detail::IsAsync<std::invoke_result_t<F&, std::shared_ptr<T>>>::value
auto spawnWeak(std::shared_ptr<SerialQueue> executor, std::weak_ptr<T> owner, F fn) {
  using R = typename detail::IsAsync<std::invoke_result_t<F&, std::shared_ptr<T>>>::ValueType;
  if constexpr (std::is_void_v<R>) {
    return spawn(
        std::move(executor),
        [](std::weak_ptr<T> weak, F& f) -> Async<void> {
          auto strong = weak.lock();
          if (!strong) co_return;
          weak.reset();
          co_await f(std::move(strong));
        },
        std::move(owner), std::move(fn));
  } else {
    return spawn(
        std::move(executor),
        [](std::weak_ptr<T> weak, F& f) -> Async<std::optional<R>> {
          auto strong = weak.lock();
          if (!strong) co_return std::nullopt;
          weak.reset();
          co_return co_await f(std::move(strong));
        },
        std::move(owner), std::move(fn));
  }
}

// spawn, for callers that never look at the task again.
template <class... A>
void spawnDetached(A&&... a) {
  (void)spawn(std::forward<A>(a)...);
}

}  // namespace platform
