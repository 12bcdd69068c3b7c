#pragma once
// Structured races. race(a, b) runs both as child tasks on the caller's
// executor; the first to finish (with a value or an error) gives the result,
// the others are cancelled and awaited before race returns (task-group
// semantics). Cancelling the caller cancels every child.
#include <stdexcept>
#include <vector>

#include "Platform/Concurrency/Continuation.h"
#include "Platform/Concurrency/Task.h"

namespace platform {

template <class T>
Async<T> raceAll(std::vector<Async<T>> operations) {
  if (operations.empty()) throw std::invalid_argument("race of nothing");
  auto executor = co_await currentExecutor();
  auto parent = co_await currentCancellation();

  std::vector<TaskHandle<T>> tasks;
  std::vector<std::unique_ptr<CancellationLink>> links;
  for (auto& op : operations) {
    auto child = CancellationState::make();
    links.push_back(std::make_unique<CancellationLink>(parent, child));
    tasks.push_back(detail::startTask<T>(executor, child, std::move(op)));
  }

  // Own statement: see the note on copying lambdas in Async.h.
  auto firstToFinish = [tasks](Continuation<size_t> first) {
    for (size_t i = 0; i < tasks.size(); ++i) tasks[i].onComplete([first, i] { first.resume(i); });
  };
  size_t winner = co_await withContinuation<size_t>(std::move(firstToFinish));

  for (size_t i = 0; i < tasks.size(); ++i)
    if (i != winner) tasks[i].cancel();
  for (size_t i = 0; i < tasks.size(); ++i) {
    if (i == winner) continue;
    try {
      co_await tasks[i].value();
    } catch (...) {
      // A loser's end, error or not, is no part of the result.
    }
  }
  co_return tasks[winner].result();
}

template <class T>
Async<T> race(Async<T> a, Async<T> b) {
  std::vector<Async<T>> ops;
  ops.push_back(std::move(a));
  ops.push_back(std::move(b));
  return raceAll<T>(std::move(ops));
}

// Runs `operation`; when the running task is cancelled meanwhile, `onCancel`
// runs once, on the cancelling thread (at once if it already was cancelled).
template <class T>
Async<T> withTaskCancellationHandler(Async<T> operation, std::function<void()> onCancel) {
  auto cancellation = co_await currentCancellation();
  CancellationState::HandlerId id = cancellation ? cancellation->addHandler(std::move(onCancel)) : 0;
  struct Unregister {
    std::shared_ptr<CancellationState> c;
    CancellationState::HandlerId id;
    ~Unregister() {
      if (c && id) c->removeHandler(id);
    }
  } unregister{cancellation, id};
  co_return co_await std::move(operation);
}

}  // namespace platform
