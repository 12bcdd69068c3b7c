#pragma once
// Waits from a plain thread (tools, main, tests) for an async function run as a
// task on `executor`. On a virtual runtime it runs the runtime, moving time on
// to the next timer whenever it is idle, until the task ends; when nothing is
// left to run, it throws std::logic_error instead of hanging. Never call it from
// a job of the executor's runtime that the task needs.
#include <condition_variable>
#include <mutex>
#include <stdexcept>

#include "Platform/Concurrency/Task.h"

namespace platform {
namespace detail {
// Runs a virtual runtime until `done` holds.
void driveVirtualRuntimeUntil(Runtime& runtime, const std::function<bool()>& done);
}  // namespace detail

template <class T>
T blockingWait(Async<T> work, std::shared_ptr<SerialQueue> executor) {
  auto runtime = executor->runtime();
  auto task = spawn(std::move(executor), std::move(work));
  if (runtime->isVirtual()) {
    detail::driveVirtualRuntimeUntil(*runtime, [&] { return task.isFinished(); });
  } else {
    struct Signal {
      std::mutex m;
      std::condition_variable cv;
      bool done = false;
    };
    runtime->releaseFollowing();
    auto signal = std::make_shared<Signal>();
    task.onComplete([signal] {
      std::lock_guard lock(signal->m);
      signal->done = true;
      signal->cv.notify_all();
    });
    std::unique_lock lock(signal->m);
    signal->cv.wait(lock, [&] { return signal->done; });
  }
  return task.result();
}

// On the runtime's concurrent executor.
template <class T>
T blockingWait(const std::shared_ptr<Runtime>& runtime, Async<T> work) {
  return blockingWait(std::move(work), runtime->globalQueue());
}

template <class T>
T blockingWait(Async<T> work) {
  return blockingWait(Runtime::shared(), std::move(work));
}

}  // namespace platform
