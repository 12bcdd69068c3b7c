#pragma once
// What every coroutine frame of this system carries: the executor it runs on now
// and the cancellation state of the task it belongs to. Awaitables read and set
// them through the awaiting coroutine's promise.
#include <concepts>
#include <coroutine>
#include <memory>

#include "Platform/Concurrency/CancellationState.h"
#include "Platform/Dispatch/SerialQueue.h"

namespace platform {
namespace detail {

struct PromiseBase {
  std::shared_ptr<SerialQueue> executor;
  std::shared_ptr<CancellationState> cancellation;
};

template <class P>
concept TaskPromise = std::derived_from<P, PromiseBase>;

// The cancellation state of the task whose job runs on this thread, or null.
CancellationState* currentCancellationState();

// Marks the thread as running a job of the given task while it lives.
class TaskScope {
 public:
  explicit TaskScope(CancellationState* state);
  ~TaskScope();
  TaskScope(const TaskScope&) = delete;
  TaskScope& operator=(const TaskScope&) = delete;

 private:
  CancellationState* saved_;
};

// Resumes the coroutine as a job of `executor`. Every suspended frame comes back
// through here (or by symmetric transfer from a child on the same executor).
// Arguments are taken by value: the frame that owns the originals may be gone as
// soon as the job is posted.
void scheduleResume(std::shared_ptr<SerialQueue> executor, std::coroutine_handle<> h,
                    std::shared_ptr<CancellationState> cancellation);

}  // namespace detail

// Cheap checks usable from plain functions called by a task (false outside a task).
bool currentTaskIsCancelled();
// Throws CancellationError when the running task is cancelled.
void checkCancellation();

}  // namespace platform
