#include "Platform/Concurrency/TaskContext.h"

#include "Platform/Concurrency/ConcurrencyErrors.h"

namespace platform {
namespace detail {
namespace {
thread_local CancellationState* tlsCancellation = nullptr;
}

CancellationState* currentCancellationState() { return tlsCancellation; }

TaskScope::TaskScope(CancellationState* state) : saved_(tlsCancellation) { tlsCancellation = state; }
TaskScope::~TaskScope() { tlsCancellation = saved_; }

void scheduleResume(std::shared_ptr<SerialQueue> executor, std::coroutine_handle<> h,
                    std::shared_ptr<CancellationState> cancellation) {
  executor->async([h, cancellation = std::move(cancellation)] {
    TaskScope scope(cancellation.get());
    h.resume();
  });
}

}  // namespace detail

bool currentTaskIsCancelled() {
  auto* s = detail::currentCancellationState();
  return s && s->isCancelled();
}

void checkCancellation() {
  if (currentTaskIsCancelled()) throw CancellationError();
}

}  // namespace platform
