#pragma once
// A maker of asynchronous sequences that keeps the writing end of the one made
// last: making a new sequence (or finish()) ends the previous one, so a
// reader's loop ends when its producer moves on. Held inside an actor or
// a locked object; the sequences are read from other tasks.
#include <optional>
#include <utility>

#include "Platform/Concurrency/AsyncStream.h"

namespace medley {

template <class T>
class AsyncStreamedFlow {
 public:
  explicit AsyncStreamedFlow(platform::BufferingPolicy policy = platform::BufferingPolicy::unbounded())
      : bufferingPolicy_(policy) {}
  AsyncStreamedFlow(const AsyncStreamedFlow&) = delete;
  AsyncStreamedFlow& operator=(const AsyncStreamedFlow&) = delete;
  AsyncStreamedFlow(AsyncStreamedFlow&&) noexcept = default;
  AsyncStreamedFlow& operator=(AsyncStreamedFlow&& other) noexcept {
    if (this != &other) {
      setContinuation(std::move(other.continuation_));
      other.continuation_.reset();
      bufferingPolicy_ = other.bufferingPolicy_;
    }
    return *this;
  }
  ~AsyncStreamedFlow() { finish(); }

  const platform::BufferingPolicy& bufferingPolicy() const { return bufferingPolicy_; }

  // A new sequence; the one made before ends.
  platform::AsyncStream<T> stream() {
    auto [stream, continuation] = platform::AsyncStream<T>::make(bufferingPolicy_);
    setContinuation(std::move(continuation));
    return stream;
  }

  // To the newest sequence; dropped when there is none.
  platform::YieldResult yield(T value) const {
    return continuation_ ? continuation_->yield(std::move(value)) : platform::YieldResult::dropped;
  }

  // Ends the newest sequence.
  void finish() { setContinuation(std::nullopt); }

  const std::optional<platform::AsyncStreamWriter<T>>& continuation() const { return continuation_; }
  void setContinuation(std::optional<platform::AsyncStreamWriter<T>> continuation) {
    auto previous = std::exchange(continuation_, std::move(continuation));
    if (previous) previous->finish();
  }

 private:
  platform::BufferingPolicy bufferingPolicy_;
  std::optional<platform::AsyncStreamWriter<T>> continuation_;
};

}  // namespace medley
