#pragma once
// withDeadline(timeout, operation) waits for `operation()` at most `timeout`.
// The operation runs as its own task on the runtime's concurrent executor and
// owns what the callable captured; when the deadline passes first, the call
// throws TimeoutError and the operation runs on to its own end in the
// background, its late result ignored. Nothing cancels it: the caller's
// cancellation reaches neither the operation nor the timer. Arguments after the
// operation are stored in its task (the way to hand it shared owners without a
// capturing lambda inside the co_await statement; see Async.h).
#include "Platform/Concurrency/Continuation.h"
#include "Platform/Concurrency/Task.h"

namespace platform {

template <class F, class... Args>
  requires std::invocable<F&, Args&...> && detail::IsAsync<std::invoke_result_t<F&, Args&...>>::value
auto withDeadline(Nanos timeout, F operation, Args... args) -> std::invoke_result_t<F&, Args&...> {
  auto executor = co_await currentExecutor();
  std::shared_ptr<Runtime> runtime = executor->runtime();
  auto task = spawn(runtime->globalQueue(), std::move(operation), std::move(args)...);

  auto raceTheTimer = [runtime, task, timeout](Continuation<bool> done) {
    auto timer = runtime->postAt(runtime->now() + (timeout > 0 ? timeout : 0), [done] { done.resume(false); });
    task.onComplete([done, runtime, timer] {
      if (done.resume(true)) runtime->cancel(timer);
    });
  };
  bool finished = co_await withContinuation<bool>(std::move(raceTheTimer));
  if (!finished) throw TimeoutError();
  co_return co_await task.value();
}

}  // namespace platform
