#pragma once
// Runs several async functions side by side as child tasks on the caller's
// executor and waits for all of them. Every child runs to its end; then the
// first error (in argument order) is rethrown, else the values are returned in
// argument order. Cancelling the caller cancels every child.
#include <memory>
#include <vector>

#include "Platform/Concurrency/Task.h"

namespace platform {
namespace detail {

template <class T>
Async<std::vector<TaskHandle<T>>> runChildren(std::vector<Async<T>> operations) {
  auto executor = co_await currentExecutor();
  auto parent = co_await currentCancellation();
  std::vector<TaskHandle<T>> tasks;
  std::vector<std::unique_ptr<CancellationLink>> links;
  for (auto& op : operations) {
    auto child = CancellationState::make();
    links.push_back(std::make_unique<CancellationLink>(parent, child));
    tasks.push_back(startTask<T>(executor, child, std::move(op)));
  }
  for (auto& t : tasks) {
    try {
      co_await t.value();
    } catch (...) {
      // Reported below, in argument order, once every child has ended.
    }
  }
  co_return tasks;
}

}  // namespace detail

template <class T>
  requires(!std::is_void_v<T>)
Async<std::vector<T>> whenAll(std::vector<Async<T>> operations) {
  auto tasks = co_await detail::runChildren<T>(std::move(operations));
  std::vector<T> values;
  values.reserve(tasks.size());
  for (auto& t : tasks) values.push_back(t.result());
  co_return values;
}

inline Async<void> whenAll(std::vector<Async<void>> operations) {
  auto tasks = co_await detail::runChildren<void>(std::move(operations));
  for (auto& t : tasks) t.result();
}

inline Async<void> whenAll(Async<void> a, Async<void> b) {
  std::vector<Async<void>> ops;
  ops.push_back(std::move(a));
  ops.push_back(std::move(b));
  return whenAll(std::move(ops));
}

}  // namespace platform
