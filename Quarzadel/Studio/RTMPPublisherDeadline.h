#pragma once
// Bounds a wait that may hang (closing a stream or a connection, a loop's end
// after stop). Returns at the earlier of the operation's end and the deadline;
// never fails and does not say which came first. The loser is not stopped: an
// operation past its deadline runs on in the background and its result and
// errors are dropped. Only the first of the two finishers resumes the caller
// (the continuation inside platform::withDeadline is the once-only flag).
#include <exception>
#include <utility>

#include "Platform/Concurrency/Deadline.h"

namespace quarzadel {

template <class F, class... Args>
platform::Async<void> withDeadline(double seconds, F operation, Args... args) {
  auto quiet = [](F& op, Args&... a) -> platform::Async<void> {
    try {
      co_await op(a...);
    } catch (...) {
      // The callers ignore how the work ended.
    }
  };
  try {
    co_await platform::withDeadline(platform::Nanos(static_cast<int64_t>(seconds * 1e9)), std::move(quiet),
                                    std::move(operation), std::move(args)...);
  } catch (...) {
    // Deadline passed: the operation finishes by itself.
  }
}

// The same, telling whether the operation ended (well or not) before the deadline.
template <class F, class... Args>
platform::Async<bool> endedWithin(double seconds, F operation, Args... args) {
  auto quiet = [](F& op, Args&... a) -> platform::Async<void> {
    try {
      co_await op(a...);
    } catch (...) {
      // How it ended does not matter, only when.
    }
  };
  try {
    co_await platform::withDeadline(platform::Nanos(static_cast<int64_t>(seconds * 1e9)), std::move(quiet),
                                    std::move(operation), std::move(args)...);
    co_return true;
  } catch (...) {
    co_return false;
  }
}

}  // namespace quarzadel
