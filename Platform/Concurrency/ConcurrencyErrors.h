#pragma once
// Errors raised by the task machinery itself.
#include <stdexcept>

namespace platform {

// The task was cancelled while it slept, or it checked for cancellation.
class CancellationError : public std::runtime_error {
 public:
  CancellationError() : std::runtime_error("task cancelled") {}
};

// A deadline passed before the awaited work finished.
class TimeoutError : public std::runtime_error {
 public:
  TimeoutError() : std::runtime_error("deadline passed") {}
};

// Every copy of a one-shot continuation was destroyed without resuming it; its
// waiter gets this instead of hanging for ever.
class ContinuationDroppedError : public std::logic_error {
 public:
  ContinuationDroppedError() : std::logic_error("continuation dropped without being resumed") {}
};

}  // namespace platform
