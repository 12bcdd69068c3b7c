#pragma once
// An observable value published as one asynchronous sequence: a change yields
// the new value; reading the sequence yields the current value first, so a
// reader starts from where things stand. Held inside an actor or a locked
// object and changed only there; the sequence is read from another task.
#include <utility>

#include "Platform/Concurrency/AsyncStream.h"

namespace medley {

template <class T>
class AsyncStreamed {
 public:
  explicit AsyncStreamed(T value, platform::BufferingPolicy policy = platform::BufferingPolicy::unbounded())
      : value_(std::move(value)) {
    auto [stream, continuation] = platform::AsyncStream<T>::make(policy);
    stream_ = std::move(stream);
    continuation_ = std::move(continuation);
  }

  const T& value() const { return value_; }
  // Yields the value when it differs from the current one.
  void setValue(T value) {
    if (value == value_) return;
    value_ = std::move(value);
    continuation_.yield(value_);
  }

  // The one sequence; each read puts the current value into it once more.
  platform::AsyncStream<T> stream() {
    continuation_.yield(value_);
    return stream_;
  }

  const platform::AsyncStreamWriter<T>& continuation() const { return continuation_; }

 private:
  T value_;
  platform::AsyncStream<T> stream_;
  platform::AsyncStreamWriter<T> continuation_;
};

}  // namespace medley
